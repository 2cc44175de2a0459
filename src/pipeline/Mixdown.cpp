#include "pipeline/Mixdown.h"

#include "audio/AudioFile.h"

#include <algorithm>
#include <new>

#if defined(__SSE2__)
#include <xmmintrin.h>
#endif

namespace zorvel::Mixdown {

namespace {

constexpr std::int64_t chunkFrames = 16000;

// The two loops of the mix, four samples at a time where the processor allows: left to the
// compiler at -O2 they stay scalar and cost more than reading and writing the files.
void addInto(float* mix, const float* samples, size_t count) {
    size_t i = 0;
#if defined(__SSE2__)
    for (; i + 4 <= count; i += 4)
        _mm_storeu_ps(mix + i, _mm_add_ps(_mm_loadu_ps(mix + i), _mm_loadu_ps(samples + i)));
#endif
    for (; i < count; ++i)
        mix[i] += samples[i];
}

void clampToFullScale(float* mix, size_t count) {
    size_t i = 0;
#if defined(__SSE2__)
    // maxps and minps yield their second operand for NaN, which keeps NaN as std::clamp does.
    const __m128 low = _mm_set1_ps(-1.0F);
    const __m128 high = _mm_set1_ps(1.0F);
    for (; i + 4 <= count; i += 4)
        _mm_storeu_ps(mix + i, _mm_min_ps(high, _mm_max_ps(low, _mm_loadu_ps(mix + i))));
#endif
    for (; i < count; ++i)
        mix[i] = std::clamp(mix[i], -1.0F, 1.0F);
}

} // namespace

Result<void> mix(const std::vector<std::filesystem::path>& wavs, const std::filesystem::path& output) {
    std::vector<AudioFileReader> inputs;
    inputs.reserve(wavs.size());
    for (const auto& wav : wavs)
        inputs.push_back(TRY(AudioFileReader::open(wav)));
    if (inputs.empty())
        return failure(ZorvelError::noAudioFiles());

    const int sampleRate = inputs.front().sampleRate();
    const int channels = inputs.front().channels();
    // Summing samples of different rates or layouts would give noise, not a mix.
    for (size_t i = 1; i < inputs.size(); ++i) {
        if (inputs[i].sampleRate() != sampleRate || inputs[i].channels() != channels)
            return failure(Error::platform("Нельзя смешать «" + wavs[i].string() + "» с «" + wavs.front().string() +
                                           "»: у них разные частота или число каналов"));
    }
    std::int64_t length = 0;
    for (const auto& input : inputs)
        length = std::max(length, input.length());
    if (length < 1 || channels < 1)
        return failure(ZorvelError::noAudioFiles());

    auto file = TRY(AudioFileWriter::create(output, {sampleRate, channels, SampleFormat::int16}));
    std::vector<float> mixed;
    std::vector<float> read;
    try {
        mixed.resize(static_cast<size_t>(chunkFrames * channels));
        read.resize(mixed.size());
    } catch (const std::bad_alloc&) {
        return failure(ZorvelError::noAudioFiles());
    }

    for (std::int64_t remaining = length; remaining >= 1;) {
        const std::int64_t chunk = std::min(remaining, chunkFrames);
        const auto samples = static_cast<size_t>(chunk * channels);
        std::fill_n(mixed.begin(), samples, 0.0F);
        for (auto& input : inputs) {
            const std::int64_t left = input.length() - input.framePosition();
            if (left <= 0)
                continue;
            const std::int64_t got = TRY(input.read(read.data(), std::min(left, chunk)));
            addInto(mixed.data(), read.data(), static_cast<size_t>(got * channels));
        }
        clampToFullScale(mixed.data(), samples);
        TRY(file.write(mixed.data(), chunk));
        remaining -= chunk;
    }
    return {};
}

} // namespace zorvel::Mixdown
