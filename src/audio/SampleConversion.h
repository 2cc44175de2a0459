#pragma once

#include <cstddef>
#include <cstdint>

namespace zorvel {

enum class SampleFormat;

// How captured samples lie in memory: interleaved, native byte order. Devices whose own format is
// 8-bit arrive as int16, 24-bit ones as int32 (value in the upper bits), so writing them to a file
// of the device's own format is lossless.
enum class SampleType { float32, int16, int32 };

SampleType deliveredSampleType(SampleFormat deviceFormat);
int bytesPerSample(SampleType type);

// 16-bit samples to floats with full scale 1.0: s / 32768 exactly, as libsndfile reads them.
void int16ToFloat(const std::int16_t* in, float* out, std::size_t count);

// Floats to 16-bit samples exactly as libsndfile writes them with clipping on: full scale 1.0
// becomes 32767, −1.0 becomes −32768, values beyond clip, in between x × 32768 is floored (after
// rounding at 32-bit precision); NaN becomes −32768.
void floatToInt16(const float* in, std::int16_t* out, std::size_t count);

} // namespace zorvel
