#pragma once

#include <cstddef>
#include <cstdint>

namespace zorvel {

// 16-bit samples to floats with full scale 1.0: s / 32768 exactly, as libsndfile reads them.
void int16ToFloat(const std::int16_t* in, float* out, std::size_t count);

// Floats to 16-bit samples exactly as libsndfile writes them with clipping on: full scale 1.0
// becomes 32767, −1.0 becomes −32768, values beyond clip, in between x × 32768 is floored (after
// rounding at 32-bit precision); NaN becomes −32768.
void floatToInt16(const float* in, std::int16_t* out, std::size_t count);

} // namespace zorvel
