#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace zorvel::test {

// How the weight matrices are stored. f16 is how the published models come; q8_0 is what
// whisper.cpp's quantizer makes of such a model: its two-dimensional weight matrices in 8-bit
// blocks (a 16-bit float scale and 32 bytes per 32 values), the convolutions kept in f16, and
// everything else in f32. q8_0 needs a state that is a multiple of 32.
enum class WeightType { f32, f16, q8_0 };

// The dimensions of a whisper model in whisper.cpp's ggml format. The defaults make a model of a
// few megabytes that whisper-cli loads and runs in well under a second per 30 s window.
struct WhisperModelShape {
    std::int32_t vocabulary = 51865; // multilingual, so that "-l ru" is honoured
    std::int32_t audioContext = 1500;
    std::int32_t state = 64;
    std::int32_t heads = 2;
    std::int32_t audioLayers = 4;  // four layers make whisper.cpp take it for a "tiny" model
    std::int32_t textContext = 64; // few tokens per window keep the decoding short
    std::int32_t textLayers = 4;
    std::int32_t mels = 80;
    WeightType weights = WeightType::f32;
};

// Writes a whisper model with deterministic random weights, laid out exactly as
// whisper.cpp's loader reads it: magic, hyperparameters, mel filters, vocabulary, then every
// tensor it expects. What it recognises is nonsense, but whisper-cli runs it to the end.
// Text tokens are short Latin syllables, so that the segments it yields contain letters.
// The same seed draws the same weights whatever the weight type, so a q8_0 model is byte for byte
// what whisper.cpp's quantizer makes of the f16 one.
void writeRandomWhisperModel(const std::filesystem::path& path, const WhisperModelShape& shape = {},
                             std::uint32_t seed = 1);

// A model with everything but the tensors, like whisper.cpp's own test models: whisper-cli loads
// it and always recognises nothing. Small and quick to write, for tests that only need a model
// that passes the check.
void writeWeightlessWhisperModel(const std::filesystem::path& path, const WhisperModelShape& shape = {});

// A Silero voice-activity model laid out as whisper.cpp's v6.2.0 conversion, with random weights:
// it passes the model check; what it would detect is nonsense.
void writeRandomVoiceActivityModel(const std::filesystem::path& path, std::uint32_t seed = 1);

// A model file cut to its first `bytes` bytes, or with its first four bytes replaced.
void truncateFile(const std::filesystem::path& path, std::uintmax_t bytes);
void overwriteStart(const std::filesystem::path& path, const std::string& bytes);

} // namespace zorvel::test
