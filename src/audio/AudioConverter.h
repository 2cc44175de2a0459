#pragma once

#include "audio/AudioFile.h"
#include "audio/SampleConversion.h"
#include "support/Error.h"

#include <cstdint>
#include <memory>
#include <vector>

struct soxr;

namespace zorvel {

// Converts captured buffers of one device format into float frames of another rate and channel
// count: samples to float, channels mixed (down to mono as the average, up by repetition), then
// resampled with libsoxr. The resampler's state carries from one buffer to the next, so one
// converter serves a device's whole stream. Used by one thread at a time.
class AudioConverter {
public:
    static Result<std::unique_ptr<AudioConverter>> create(const AudioFormat& from, int toRate, int toChannels);
    ~AudioConverter();
    AudioConverter(const AudioConverter&) = delete;
    AudioConverter& operator=(const AudioConverter&) = delete;

    // Room for the output of one buffer of `inputFrames`: the exact ratio of the rates times the
    // frames, truncated, plus 1024 frames for what the resampler held back earlier.
    static std::uint32_t outputCapacity(double fromRate, double toRate, std::uint32_t inputFrames);

    // Converts `frames` delivered frames and returns the output frames, interleaved (none while the
    // resampler is filling up). The returned view stays valid until the next call.
    Result<std::pair<const float*, std::int64_t>> convert(const void* samples, SampleType type, std::int64_t frames);

    // Ends the input: returns what the resampler still holds (up to about 20 ms: it works in
    // blocks), after which the converter takes no more input. The returned view stays valid until
    // the next call.
    Result<std::pair<const float*, std::int64_t>> flush();

    // How many output frames the resampler holds back from the input so far: what flush() gives.
    std::int64_t heldFrames() const;

    // The capacity reserved by the last convert() call.
    std::uint32_t lastCapacity() const { return m_lastCapacity; }

private:
    AudioConverter(const AudioFormat& from, int toRate, int toChannels) : m_from(from), m_toRate(toRate), m_toChannels(toChannels) {}

    AudioFormat m_from;
    int m_toRate;
    int m_toChannels;
    soxr* m_resampler = nullptr;
    std::vector<float> m_mixed;
    std::vector<float> m_output;
    std::uint32_t m_lastCapacity = 0;
};

// Converts `frames` interleaved samples of `type` to floats with full scale 1.0 (an int16 s reads as
// s / 32768, like the audio-file reader does), into `out` (room for frames × channels).
void samplesToFloat(const void* samples, SampleType type, std::int64_t count, float* out);

} // namespace zorvel
