#include "audio/SampleConversion.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zorvel {

void int16ToFloat(const std::int16_t* in, float* out, std::size_t count) {
    constexpr float scale = 1.0F / 32768.0F;
    std::size_t i = 0;
#if defined(__SSE2__)
    // Eight samples at a time; compilers leave the plain loop scalar at -O2.
    const __m128 scales = _mm_set1_ps(scale);
    for (; i + 8 <= count; i += 8) {
        const __m128i samples = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        // Each 16-bit sample into the upper half of a 32-bit lane, then shifted down with its sign.
        const __m128i low = _mm_srai_epi32(_mm_unpacklo_epi16(samples, samples), 16);
        const __m128i high = _mm_srai_epi32(_mm_unpackhi_epi16(samples, samples), 16);
        _mm_storeu_ps(out + i, _mm_mul_ps(_mm_cvtepi32_ps(low), scales));
        _mm_storeu_ps(out + i + 4, _mm_mul_ps(_mm_cvtepi32_ps(high), scales));
    }
#endif
    for (; i < count; ++i)
        out[i] = static_cast<float>(in[i]) * scale;
}

} // namespace zorvel
