#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace zorvel {

// whisper-cli's command line for one work WAV, built in one place so that every run of the
// recogniser gets the same arguments.
struct RecogniserCommand {
    std::filesystem::path model;
    std::string language;
    int threads = 4;
    // "-of": the recogniser writes its JSON to this path with ".json" appended.
    std::filesystem::path outputBase;
    // The voice-activity model, when there is one.
    std::optional<std::filesystem::path> vadModel;
    std::filesystem::path wav;

    // "-m" model, "-l" language, "-t" threads, "-oj", "-of" output base, "-np", "--suppress-nst",
    // then "--vad", "--vad-model" and its path only with a voice-activity model, and the WAV last
    // as a plain positional argument: 12 arguments, or 15.
    [[nodiscard]] std::vector<std::string> arguments() const;

    // Where the recogniser writes its JSON.
    [[nodiscard]] std::filesystem::path jsonURL() const;
};

} // namespace zorvel
