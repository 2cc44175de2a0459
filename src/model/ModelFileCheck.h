#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace zorvel {

// What a model file on disk is, judged from its layout alone, the way whisper.cpp's loader walks
// it: no weight is read, so a check costs a few hundred small reads whatever the model's size.
struct ModelFileCheck {
    enum class State { present, missing, damaged };

    State state = State::missing;
    // Why a damaged file is damaged, in Russian, for log lines and messages.
    std::string reason;

    bool isPresent() const { return state == State::present; }
    bool isDamaged() const { return state == State::damaged; }
};

// A whisper recognition model in whisper.cpp's ggml format: magic, hyperparameters, mel filters,
// vocabulary, then every tensor the hyperparameters call for, each whole, and nothing after the
// last. A model without any tensor (whisper.cpp's own test models) is accepted as whisper.cpp
// accepts it. Tensors of a type this check does not know end the walk: such a file is taken as
// present rather than called damaged.
ModelFileCheck checkWhisperModel(const std::filesystem::path& path);

// A Silero voice-activity model in whisper.cpp's ggml format, checked the same way.
ModelFileCheck checkVoiceActivityModel(const std::filesystem::path& path);

// Whether `bytes` (the first bytes of a file, at least four) begin with the ggml magic.
bool startsWithGgmlMagic(std::string_view bytes);

} // namespace zorvel
