#include "model/ModelPaths.h"

#include "model/ModelFileCheck.h"
#include "support/Paths.h"
#include "support/Settings.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <string>
#include <string_view>

namespace zorvel::Paths {

namespace {

constexpr const char* vadModelNames[] = {"ggml-silero-v6.2.0.bin", "ggml-silero-v5.1.2.bin"};
constexpr std::string_view modelHub = "https://huggingface.co/ggerganov/whisper.cpp/resolve/main/";
constexpr const char* defaultModelSHA1 = "4af2b29d7ec73d781377bfd1758ca957a807e941";
// Beyond this a name is no file name on the usual file systems.
constexpr std::size_t longestName = 255;

// Whether a stored name may be used as the model's file name in the models folder.
bool acceptable(const std::string& name) {
    if (name.empty() || name.size() > longestName || name.front() == '.' || !name.ends_with(".bin"))
        return false;
    if (std::any_of(name.begin(), name.end(),
                    [](char c) { return c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20; }))
        return false;
    return std::none_of(std::begin(vadModelNames), std::end(vadModelNames),
                        [&](const char* vad) { return name == vad; });
}

std::string fromEnvironment(const char* name, std::string fallback) {
    if (const char* value = std::getenv(name); value && *value)
        return value;
    return fallback;
}

} // namespace

std::string modelName() {
    auto stored = Settings::recognitionModel();
    return stored && acceptable(*stored) ? std::move(*stored) : std::string(defaultModelName);
}

std::optional<std::string> refusedModelName() {
    auto stored = Settings::recognitionModel();
    if (!stored || acceptable(*stored))
        return std::nullopt;
    // Control characters would break the log's lines.
    std::replace_if(stored->begin(), stored->end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }, '?');
    return stored;
}

std::filesystem::path modelURL() { return applicationSupportDirectory() / "Zorvel" / "models" / modelName(); }

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

std::string modelDownloadURL() {
    const std::string name = modelName();
    std::string url = fromEnvironment("ZORVEL_MODEL_URL", std::string(modelHub) + name);
    // A folder that mirrors the hub's: the chosen model is fetched from it by its own name.
    if (url.ends_with('/'))
        url += name;
    return url;
}

std::optional<std::string> modelDownloadSHA1() {
    if (modelDownloadURL() != std::string(modelHub) + defaultModelName)
        return std::nullopt;
    return defaultModelSHA1;
}

const std::string& vadModelDownloadURL() {
    static const std::string url =
        fromEnvironment("ZORVEL_VAD_MODEL_URL",
                        "https://huggingface.co/ggml-org/whisper-vad/resolve/main/ggml-silero-v6.2.0.bin");
    return url;
}

} // namespace zorvel::Paths
