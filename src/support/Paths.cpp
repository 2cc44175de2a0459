#include "support/Paths.h"

#include <QDir>
#include <QStandardPaths>
#include <cstdlib>
#include <system_error>
#include <unistd.h>

namespace zorvel::Paths {

namespace {

std::filesystem::path fromQString(const QString& path) { return std::filesystem::path(path.toStdString()); }

std::filesystem::path executableDirectory() {
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : executable.parent_path();
}

} // namespace

std::filesystem::path applicationSupportDirectory() {
    const QStringList locations = QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation);
    if (!locations.isEmpty())
        return fromQString(locations.first());
    return homeDirectory() / ".local" / "share";
}

std::filesystem::path modelURL() {
    return applicationSupportDirectory() / "Zorvel" / "models" / "ggml-large-v3-turbo.bin";
}

std::optional<std::filesystem::path> resourceDirectory() {
    if (const char* override = std::getenv("ZORVEL_RESOURCE_DIR"); override && *override)
        return std::filesystem::path(override);
    const auto executable = executableDirectory();
    if (executable.empty())
        return std::nullopt;
    auto installed = executable.parent_path() / "share" / "zorvel";
    std::error_code error;
    if (std::filesystem::is_directory(installed, error))
        return installed;
    return std::nullopt;
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

std::filesystem::path recordingsRoot() {
    QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (documents.isEmpty())
        documents = QDir::homePath() + "/Documents";
    return fromQString(documents) / "Zorvel";
}

std::filesystem::path homeDirectory() { return fromQString(QDir::homePath()); }

} // namespace zorvel::Paths
