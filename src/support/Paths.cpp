#include "support/Paths.h"

#include <QDir>
#include <QStandardPaths>
#include <cstdlib>
#include <system_error>
#include <unistd.h>

namespace zorvel::Paths {

namespace {

std::filesystem::path fromQString(const QString& path) { return {path.toStdString()}; }

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

std::filesystem::path recordingsRoot() {
    QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (documents.isEmpty())
        documents = QDir::homePath() + "/Documents";
    return fromQString(documents) / "Zorvel";
}

std::filesystem::path homeDirectory() { return fromQString(QDir::homePath()); }

} // namespace zorvel::Paths
