#include "TestAudio.h"

#include <stdexcept>

namespace zorvel::test {

std::vector<float> noise(std::int64_t frames, int channels, float amplitude, std::uint32_t seed) {
    std::vector<float> samples(static_cast<size_t>(frames * channels));
    std::uint32_t state = seed;
    for (auto& sample : samples) {
        state = state * 1664525U + 1013904223U;
        sample = amplitude * (static_cast<float>(state >> 8) / 8388608.0F - 1.0F);
    }
    return samples;
}

void writeAudio(const std::filesystem::path& path, AudioFormat format, const std::vector<float>& samples) {
    auto file = AudioFileWriter::create(path, format);
    if (!file)
        throw std::runtime_error(file.error().description());
    if (!samples.empty() && !file->write(samples.data(), static_cast<std::int64_t>(samples.size()) / format.channels))
        throw std::runtime_error("write failed");
}

std::vector<float> readAudio(const std::filesystem::path& path, int* channels, int* sampleRate) {
    auto file = AudioFileReader::open(path);
    if (!file)
        throw std::runtime_error(file.error().description());
    if (channels)
        *channels = file->channels();
    if (sampleRate)
        *sampleRate = file->sampleRate();
    std::vector<float> samples(static_cast<size_t>(file->length() * file->channels()));
    if (!samples.empty() && !file->read(samples.data(), file->length()))
        throw std::runtime_error("read failed");
    return samples;
}

} // namespace zorvel::test
