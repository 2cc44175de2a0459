#include "audio/AudioConverter.h"

#include "audio/SampleConversion.h"

#include <cmath>
#include <soxr.h>

namespace zorvel {

void samplesToFloat(const void* samples, SampleType type, std::int64_t count, float* out) {
    switch (type) {
    case SampleType::float32: {
        const auto* in = static_cast<const float*>(samples);
        std::copy(in, in + count, out);
        return;
    }
    case SampleType::int16:
        int16ToFloat(static_cast<const std::int16_t*>(samples), out, static_cast<std::size_t>(count));
        return;
    case SampleType::int32: {
        const auto* in = static_cast<const std::int32_t*>(samples);
        for (std::int64_t i = 0; i < count; ++i)
            out[i] = static_cast<float>(static_cast<double>(in[i]) / 2147483648.0);
        return;
    }
    }
}

Result<std::unique_ptr<AudioConverter>> AudioConverter::create(const AudioFormat& from, int toRate, int toChannels) {
    if (from.sampleRate <= 0 || from.channels <= 0 || toRate <= 0 || toChannels <= 0)
        return failure(Error::platform("Не удалось создать преобразователь звука: пустой формат"));
    std::unique_ptr<AudioConverter> converter(new AudioConverter(from, toRate, toChannels));
    if (from.sampleRate != toRate) {
        soxr_error_t error = nullptr;
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        converter->m_resampler = soxr_create(from.sampleRate, toRate, static_cast<unsigned>(toChannels), &error,
                                             &io, &quality, nullptr);
        if (converter->m_resampler == nullptr) {
            const std::string words = error != nullptr ? error : "soxr";
            return failure(Error::platform("Не удалось создать преобразователь звука: " + words, ErrorSource::soxr,
                                           std::nullopt, words));
        }
    }
    return converter;
}

AudioConverter::~AudioConverter() {
    if (m_resampler != nullptr)
        soxr_delete(m_resampler);
}

std::uint32_t AudioConverter::outputCapacity(double fromRate, double toRate, std::uint32_t inputFrames) {
    return static_cast<std::uint32_t>(toRate / fromRate * static_cast<double>(inputFrames)) + 1024;
}

Result<std::pair<const float*, std::int64_t>> AudioConverter::convert(const void* samples, SampleType type,
                                                                       std::int64_t frames) {
    const auto inChannels = static_cast<std::size_t>(m_from.channels);
    const auto outChannels = static_cast<std::size_t>(m_toChannels);
    const auto count = static_cast<std::size_t>(frames);
    m_mixed.resize(count * std::max(inChannels, outChannels));
    samplesToFloat(samples, type, frames * m_from.channels, m_mixed.data());
    if (inChannels != outChannels) {
        // In place: frame i is read before any write can reach it (output frames are not wider
        // than input ones when mixing down, and upmixing walks backwards).
        if (outChannels == 1) {
            for (std::size_t i = 0; i < count; ++i) {
                float sum = 0.0F;
                for (std::size_t c = 0; c < inChannels; ++c)
                    sum += m_mixed[i * inChannels + c];
                m_mixed[i] = sum / static_cast<float>(inChannels);
            }
        } else if (outChannels > inChannels) {
            for (std::size_t i = count; i-- > 0;)
                for (std::size_t c = outChannels; c-- > 0;)
                    m_mixed[i * outChannels + c] = m_mixed[i * inChannels + c % inChannels];
        } else {
            for (std::size_t i = 0; i < count; ++i)
                for (std::size_t c = 0; c < outChannels; ++c)
                    m_mixed[i * outChannels + c] = m_mixed[i * inChannels + c];
        }
    }
    if (m_resampler == nullptr) {
        m_lastCapacity = static_cast<std::uint32_t>(frames);
        return std::pair<const float*, std::int64_t>{m_mixed.data(), frames};
    }
    m_lastCapacity = outputCapacity(m_from.sampleRate, m_toRate, static_cast<std::uint32_t>(frames));
    m_output.resize(static_cast<std::size_t>(m_lastCapacity) * outChannels);
    size_t used = 0;
    size_t produced = 0;
    if (const soxr_error_t error = soxr_process(m_resampler, m_mixed.data(), count, &used, m_output.data(),
                                                m_lastCapacity, &produced))
        return failure(Error::platform(std::string("Не удалось преобразовать звук: ") + error, ErrorSource::soxr,
                                       std::nullopt, error));
    return std::pair<const float*, std::int64_t>{m_output.data(), static_cast<std::int64_t>(produced)};
}

std::int64_t AudioConverter::heldFrames() const {
    return m_resampler != nullptr ? std::llround(soxr_delay(m_resampler)) : 0;
}

Result<std::pair<const float*, std::int64_t>> AudioConverter::flush() {
    if (m_resampler == nullptr)
        return std::pair<const float*, std::int64_t>{nullptr, 0};
    const auto channels = static_cast<std::size_t>(m_toChannels);
    constexpr std::size_t block = 4096;
    std::size_t total = 0;
    for (;;) {
        m_output.resize((total + block) * channels);
        size_t produced = 0;
        const soxr_error_t error =
            soxr_process(m_resampler, nullptr, 0, nullptr, m_output.data() + total * channels, block, &produced);
        if (error != nullptr)
            return failure(Error::platform(std::string("Не удалось преобразовать звук: ") + error));
        if (produced == 0)
            break;
        total += produced;
    }
    return std::pair<const float*, std::int64_t>{m_output.data(), static_cast<std::int64_t>(total)};
}

} // namespace zorvel
