#pragma once

#include "audio/AudioFile.h"

#include <cstdint>
#include <filesystem>
#include <vector>

namespace zorvel::test {

// Deterministic white noise of the given peak amplitude, interleaved.
std::vector<float> noise(std::int64_t frames, int channels, float amplitude, std::uint32_t seed = 1);

// Writes interleaved samples to a new file; the container follows the extension.
void writeAudio(const std::filesystem::path& path, AudioFormat format, const std::vector<float>& samples);

// Reads a whole file as interleaved floats.
std::vector<float> readAudio(const std::filesystem::path& path, int* channels = nullptr, int* sampleRate = nullptr);

} // namespace zorvel::test
