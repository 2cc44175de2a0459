#include "pipeline/LoudnessEnvelope.h"

#include "audio/AudioFile.h"

#include <algorithm>
#include <cmath>
#include <new>

namespace zorvel {

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
        for (std::int64_t start = 0; start < n;) {
            const std::int64_t end = std::min(n, start + windowFrames);
            float sum = 0.0F;
            const float* sample = buffer.data() + start * channels;
            for (std::int64_t i = 0; i < (end - start) * channels; ++i)
                sum += sample[i] * sample[i];
            const std::int64_t count = (end - start) * channels;
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
    return values.empty() ? 0.0F : *std::max_element(values.begin(), values.end());
}

} // namespace zorvel
