#pragma once

#include <string>
#include <string_view>

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

} // namespace zorvel
