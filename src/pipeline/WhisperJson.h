#pragma once

#include "support/Error.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zorvel {

// whisper-cli's JSON writer escapes only '"' and '\': tabs, newlines, other control bytes and
// broken UTF-8 go out raw while it exits 0, and a strict parser would reject the whole file.
// This repairs those bytes inside string literals and leaves everything else as it is:
//  - raw control characters become \u00XX escapes;
//  - a multibyte character split between two adjacent "text" values (the end of one segment
//    and the start of the next) is joined again, at the end of the first;
//  - whatever is still not valid UTF-8 becomes U+FFFD.
// Missing keys or wrong types are left for the decoder to report.
std::string repairWhisperJson(std::string_view raw);

// One element of the document's "transcription" array, as written.
struct WhisperSegment {
    std::int64_t from = 0;
    std::int64_t to = 0;
    std::string text;
};

// Reads the "transcription" array of a (repaired) recogniser document: every element needs
// "offsets" {"from", "to"} as integers that fit 64 bits and "text" as a string; other keys are
// ignored at every level, and of a key given twice the last one counts. The whole document must
// be valid JSON. Streams through the text instead of building a tree, which would cost more
// than everything else the segment filter does. Fails with a description of what is wrong (for
// invalid JSON, the parser's own words and error id).
Result<std::vector<WhisperSegment>> decodeWhisperSegments(const std::string& json);

// Every C0 control character (a byte below 0x20: NUL, tab, line feed, carriage return, escape…)
// becomes a space, so that a transcript never carries raw control bytes into an editor or a
// terminal.
std::string replaceControlCharacters(std::string text);

} // namespace zorvel
