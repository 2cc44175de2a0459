#include "model/ModelPaths.h"

#include "support/Paths.h"

#include <cstdlib>
#include <system_error>

namespace zorvel::Paths {

std::filesystem::path modelURL() {
    return applicationSupportDirectory() / "Zorvel" / "models" / "ggml-large-v3-turbo.bin";
}

std::optional<std::filesystem::path> vadModelURL() {
    const auto resources = resourceDirectory();
    if (!resources)
        return std::nullopt;
    auto model = *resources / "models" / "ggml-silero-v5.1.2.bin";
    std::error_code error;
    if (std::filesystem::is_regular_file(model, error))
        return model;
    return std::nullopt;
}

const std::string& modelDownloadURL() {
    static const std::string url = [] {
        if (const char* mirror = std::getenv("ZORVEL_MODEL_URL"); mirror && *mirror)
            return std::string(mirror);
        return std::string("https://huggingface.co/ggerganov/whisper.cpp/resolve/main/ggml-large-v3-turbo.bin");
    }();
    return url;
}

} // namespace zorvel::Paths
