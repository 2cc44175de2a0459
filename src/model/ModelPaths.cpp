#include "model/ModelPaths.h"

#include "model/ModelFileCheck.h"
#include "support/Paths.h"

#include <cstdlib>

namespace zorvel::Paths {

namespace {

constexpr const char* vadModelNames[] = {"ggml-silero-v6.2.0.bin", "ggml-silero-v5.1.2.bin"};
constexpr const char* publishedModelURL =
    "https://huggingface.co/ggerganov/whisper.cpp/resolve/main/ggml-large-v3-turbo.bin";

std::string fromEnvironment(const char* name, const char* fallback) {
    if (const char* value = std::getenv(name); value && *value)
        return value;
    return fallback;
}

} // namespace

std::filesystem::path modelURL() {
    return applicationSupportDirectory() / "Zorvel" / "models" / "ggml-large-v3-turbo.bin";
}

std::vector<std::filesystem::path> vadModelCandidates() {
    const auto resources = resourceDirectory();
    const auto userModels = modelURL().parent_path();
    std::vector<std::filesystem::path> candidates;
    for (const char* name : vadModelNames) {
        if (resources)
            candidates.push_back(*resources / "models" / name);
        candidates.push_back(userModels / name);
    }
    return candidates;
}

std::optional<std::filesystem::path> vadModelURL(const PassedOverModel& passedOver) {
    for (auto& candidate : vadModelCandidates()) {
        const auto check = checkVoiceActivityModel(candidate);
        if (check.isPresent())
            return candidate;
        if (check.isDamaged() && passedOver)
            passedOver(candidate, check.reason);
    }
    return std::nullopt;
}

std::filesystem::path downloadedVadModelURL() {
    return modelURL().parent_path() / vadModelNames[0];
}

const std::string& modelDownloadURL() {
    static const std::string url = fromEnvironment("ZORVEL_MODEL_URL", publishedModelURL);
    return url;
}

std::optional<std::string> modelDownloadSHA1() {
    if (modelDownloadURL() != publishedModelURL)
        return std::nullopt;
    return "4af2b29d7ec73d781377bfd1758ca957a807e941";
}

const std::string& vadModelDownloadURL() {
    static const std::string url =
        fromEnvironment("ZORVEL_VAD_MODEL_URL",
                        "https://huggingface.co/ggml-org/whisper-vad/resolve/main/ggml-silero-v6.2.0.bin");
    return url;
}

} // namespace zorvel::Paths
