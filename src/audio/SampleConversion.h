#pragma once

#include <cstddef>
#include <cstdint>

namespace zorvel {

// 16-bit samples to floats with full scale 1.0: s / 32768 exactly, as libsndfile reads them.
void int16ToFloat(const std::int16_t* in, float* out, std::size_t count);

} // namespace zorvel
