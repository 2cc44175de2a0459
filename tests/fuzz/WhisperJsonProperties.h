#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zorvel::fuzz {

// Checks what the reader of the recogniser's output promises, for any bytes at all:
//  - The first byte chooses how the rest is read. Even: the rest is a whole document as the
//    recogniser might leave it. Odd: the rest is a list of segment texts (each one length byte,
//    then that many bytes), written into a document exactly as whisper-cli writes one.
//  - Any document: the repair and the decoder never crash; a document that is already valid JSON
//    comes out of the repair unchanged; decoded texts are valid UTF-8, and once control
//    characters are replaced no byte below 0x20 is left.
//  - A document written like whisper-cli's, whatever bytes its texts hold: always decodes, with
//    every segment and its offsets; when the texts together are valid UTF-8 (a letter may be split
//    between two segments), their bytes come back in the same order.
// Returns what was broken, or nothing.
std::optional<std::string> checkWhisperJson(std::string_view input);

} // namespace zorvel::fuzz
