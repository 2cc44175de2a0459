#include "pipeline/LoudnessEnvelope.h"

#include "audio/AudioFile.h"

#include <algorithm>
#include <cmath>
#include <new>

#if defined(__SSE2__)
#include <xmmintrin.h>
#endif

namespace zorvel {

namespace {

// The sum of squares of one window, sample after sample in a 32-bit float.
float sumOfSquares(const float* samples, std::int64_t count) {
    float sum = 0.0F;
    for (std::int64_t i = 0; i < count; ++i)
        sum += samples[i] * samples[i];
    return sum;
}

// The sums of squares of 8 consecutive windows of `length` samples each. Every window is still
// summed sample after sample, so the results equal sumOfSquares bit for bit; working on several
// windows at once only breaks the chain of dependent additions that makes one window slow.
void sumsOfSquares8(const float* samples, std::int64_t length, float* sums) {
    std::int64_t i = 0;
#if defined(__SSE2__)
    // Lane k of `first` (and `second`) accumulates window k (and 4 + k); a 4×4 transpose turns
    // four consecutive samples of four windows into four vectors of one sample per window.
    __m128 first = _mm_setzero_ps();
    __m128 second = _mm_setzero_ps();
    const float* a = samples;
    const float* b = samples + 4 * length;
    for (; i + 4 <= length; i += 4) {
        __m128 a0 = _mm_loadu_ps(a + i);
        __m128 a1 = _mm_loadu_ps(a + length + i);
        __m128 a2 = _mm_loadu_ps(a + 2 * length + i);
        __m128 a3 = _mm_loadu_ps(a + 3 * length + i);
        __m128 b0 = _mm_loadu_ps(b + i);
        __m128 b1 = _mm_loadu_ps(b + length + i);
        __m128 b2 = _mm_loadu_ps(b + 2 * length + i);
        __m128 b3 = _mm_loadu_ps(b + 3 * length + i);
        _MM_TRANSPOSE4_PS(a0, a1, a2, a3);
        _MM_TRANSPOSE4_PS(b0, b1, b2, b3);
        first = _mm_add_ps(first, _mm_mul_ps(a0, a0));
        second = _mm_add_ps(second, _mm_mul_ps(b0, b0));
        first = _mm_add_ps(first, _mm_mul_ps(a1, a1));
        second = _mm_add_ps(second, _mm_mul_ps(b1, b1));
        first = _mm_add_ps(first, _mm_mul_ps(a2, a2));
        second = _mm_add_ps(second, _mm_mul_ps(b2, b2));
        first = _mm_add_ps(first, _mm_mul_ps(a3, a3));
        second = _mm_add_ps(second, _mm_mul_ps(b3, b3));
    }
    _mm_storeu_ps(sums, first);
    _mm_storeu_ps(sums + 4, second);
#else
    std::fill_n(sums, 8, 0.0F);
#endif
    for (int window = 0; window < 8; ++window) {
        const float* own = samples + window * length;
        for (std::int64_t j = i; j < length; ++j)
            sums[window] += own[j] * own[j];
    }
}

} // namespace

Result<LoudnessEnvelope> LoudnessEnvelope::analyze(const std::filesystem::path& wav) {
    auto file = TRY(AudioFileReader::open(wav));
    LoudnessEnvelope envelope;

    const auto windowFrames = static_cast<std::int64_t>(static_cast<double>(file.sampleRate()) * 10.0 / 1000.0);
    if (windowFrames < 1)
        return envelope;
    const auto channels = static_cast<std::int64_t>(file.channels());
    const std::int64_t capacity = 100 * windowFrames;
    std::vector<float> buffer;
    try {
        buffer.resize(static_cast<size_t>(capacity * std::max<std::int64_t>(channels, 1)));
    } catch (const std::bad_alloc&) {
        return envelope;
    }

    std::int64_t remaining = file.length();
    if (remaining < 1)
        return envelope;
    envelope.values.reserve(static_cast<size_t>((remaining + windowFrames - 1) / windowFrames));
    while (true) {
        const std::int64_t n = TRY(file.read(buffer.data(), std::min(remaining, capacity)));
        if (n == 0)
            return envelope;
        remaining -= n;
        // A window's samples, frame by frame and channel by channel, are one run of the
        // interleaved buffer.
        const std::int64_t windowSamples = windowFrames * channels;
        std::int64_t start = 0;
        for (float sums[8]; windowSamples > 0 && start + 8 * windowFrames <= n; start += 8 * windowFrames) {
            sumsOfSquares8(buffer.data() + start * channels, windowSamples, sums);
            for (const float sum : sums)
                envelope.values.push_back(std::sqrt(sum / static_cast<float>(windowSamples)));
        }
        while (start < n) {
            const std::int64_t end = std::min(n, start + windowFrames);
            const std::int64_t count = (end - start) * channels;
            const float sum = sumOfSquares(buffer.data() + start * channels, count);
            envelope.values.push_back(count == 0 ? 0.0F : std::sqrt(sum / static_cast<float>(count)));
            start = end;
        }
        if (remaining < 1)
            return envelope;
    }
}

float LoudnessEnvelope::rms(std::int64_t fromMs, std::int64_t toMs) const {
    const auto n = static_cast<std::int64_t>(values.size());
    if (n == 0)
        return 0.0F;
    const std::int64_t a = std::clamp<std::int64_t>(fromMs / 10, 0, n - 1);
    const std::int64_t b = std::min(std::max(a + 1, toMs / 10), n);
    float sum = 0.0F;
    for (std::int64_t i = a; i < b; ++i)
        sum += values[static_cast<size_t>(i)] * values[static_cast<size_t>(i)];
    return std::sqrt(sum / static_cast<float>(b - a));
}

float LoudnessEnvelope::peak() const {
    return values.empty() ? 0.0F : *std::ranges::max_element(values);
}

} // namespace zorvel
