#pragma once

#include <cstdint>
#include <string>

namespace zorvel {

// One recognised utterance, kept after filtering. Times are milliseconds from the track's start.
struct TranscriptSegment {
    std::string speaker;
    std::int64_t fromMs = 0;
    std::int64_t toMs = 0;
    std::string text; // trimmed, never empty
};

} // namespace zorvel
