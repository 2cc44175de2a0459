#include "audio/SampleConversion.h"

#include "audio/AudioFile.h"

#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zorvel {

SampleType deliveredSampleType(SampleFormat deviceFormat) {
    switch (deviceFormat) {
    case SampleFormat::float32:
        return SampleType::float32;
    case SampleFormat::int16:
    case SampleFormat::uint8:
        return SampleType::int16;
    case SampleFormat::int24:
    case SampleFormat::int32:
        return SampleType::int32;
    }
    return SampleType::float32;
}

int bytesPerSample(SampleType type) { return type == SampleType::int16 ? 2 : 4; }

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

void floatToInt16(const float* in, std::int16_t* out, std::size_t count) {
    // libsndfile goes through 32-bit integers: x × 2^31, rounded to nearest even, clipped, and
    // the upper 16 bits kept, which floors at 16 bits rather than rounding.
    constexpr float scale = 2147483648.0F;
    std::size_t i = 0;
#if defined(__SSE2__)
    // The largest float below 2^31 keeps the conversion in range; minps yields its second operand
    // for NaN, so NaN reaches the conversion and becomes INT32_MIN, as it does in lrintf.
    const __m128 scales = _mm_set1_ps(scale);
    const __m128 highest = _mm_set1_ps(2147483520.0F);
    for (; i + 8 <= count; i += 8) {
        const __m128 a = _mm_min_ps(highest, _mm_mul_ps(_mm_loadu_ps(in + i), scales));
        const __m128 b = _mm_min_ps(highest, _mm_mul_ps(_mm_loadu_ps(in + i + 4), scales));
        const __m128i high = _mm_srai_epi32(_mm_cvtps_epi32(a), 16);
        const __m128i low = _mm_srai_epi32(_mm_cvtps_epi32(b), 16);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packs_epi32(high, low));
    }
#endif
    for (; i < count; ++i) {
        const float scaled = in[i] * scale;
        if (std::isnan(scaled) || scaled <= -scale)
            out[i] = -32768;
        else if (scaled >= scale)
            out[i] = 32767;
        else
            out[i] = static_cast<std::int16_t>(std::lrintf(scaled) >> 16);
    }
}

} // namespace zorvel
