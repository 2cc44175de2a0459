#pragma once

#include "support/Error.h"

#include <cstdint>
#include <filesystem>
#include <vector>

namespace zorvel {

// The loudness curve of one audio file: the linear RMS level (full scale 1.0) of every 10 ms
// window, in order. An immutable value once built; safe to read from any thread.
struct LoudnessEnvelope {
    std::vector<float> values;

    // Streams the file one second at a time, so memory stays small for recordings of any
    // length. Windows never span two chunks; only a chunk's last window may be shorter.
    static Result<LoudnessEnvelope> analyze(const std::filesystem::path& wav);

    // The combined RMS of the windows covering [fromMs, toMs), mapped by integer division by 10.
    // A reversed, empty or out-of-range span falls back to a single window; no windows give 0.
    float rms(std::int64_t fromMs, std::int64_t toMs) const;

    // The loudest window, 0 when there are none.
    float peak() const;
};

} // namespace zorvel
