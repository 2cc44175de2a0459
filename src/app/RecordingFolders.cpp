#include "app/RecordingFolders.h"

#include "support/Files.h"
#include "support/FolderLock.h"
#include "support/Paths.h"

#include <algorithm>
#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

namespace zorvel::RecordingFolders {

namespace {

// Names compare in code-point order of their canonically composed forms.
std::string composed(const std::string& name) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status))
        return name;
    const icu::UnicodeString text = nfc->normalize(icu::UnicodeString::fromUTF8(name), status);
    if (U_FAILURE(status))
        return name;
    std::string out;
    text.toUTF8String(out);
    return out;
}

bool sameFolder(const std::filesystem::path& a, const std::filesystem::path& b) {
    std::error_code error;
    return !b.empty() && std::filesystem::equivalent(a, b, error);
}

bool isRegularFile(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::is_regular_file(std::filesystem::symlink_status(path, error));
}

} // namespace

std::vector<std::filesystem::path> all() {
    std::vector<std::pair<std::string, std::filesystem::path>> folders;
    std::error_code error;
    for (std::filesystem::directory_iterator it(Paths::recordingsRoot(), error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.starts_with('.'))
            continue;
        std::error_code statusError;
        if (!std::filesystem::is_directory(it->symlink_status(statusError)) || statusError)
            continue;
        folders.emplace_back(composed(name), it->path());
    }
    std::stable_sort(folders.begin(), folders.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::filesystem::path> sorted;
    sorted.reserve(folders.size());
    for (auto& folder : folders)
        sorted.push_back(std::move(folder.second));
    return sorted;
}

std::optional<std::filesystem::path> newest(const std::filesystem::path& except) {
    const auto folders = all();
    for (auto it = folders.rbegin(); it != folders.rend(); ++it)
        if (!sameFolder(*it, except))
            return *it;
    return std::nullopt;
}

bool isUnfinished(const std::filesystem::path& folder) {
    return (isRegularFile(folder / "system.caf") || isRegularFile(folder / "mic.caf")) &&
           !fileExists(folder / "transcript.md");
}

std::vector<std::filesystem::path> unfinished(const std::vector<std::filesystem::path>& busy) {
    std::vector<std::filesystem::path> found;
    for (const auto& folder : all()) {
        if (std::any_of(busy.begin(), busy.end(), [&](const auto& other) { return sameFolder(folder, other); }))
            continue;
        if (isUnfinished(folder) && !isFolderLocked(folder))
            found.push_back(folder);
    }
    return found;
}

std::optional<std::filesystem::path> latestTranscript() {
    const auto folders = all();
    for (auto it = folders.rbegin(); it != folders.rend(); ++it)
        if (isRegularFile(*it / "transcript.md"))
            return *it / "transcript.md";
    return std::nullopt;
}

} // namespace zorvel::RecordingFolders
