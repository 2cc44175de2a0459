#include "support/Files.h"

#include "support/FileDescriptor.h"
#include "support/Paths.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

namespace zorvel {

Result<FileDescriptor> createFileReplacing(const std::filesystem::path& path, int accessMode,
                                           std::string_view failureAction) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        return failure(Error::fromErrno(failureAction, path, errno));
    // The mode is filtered by the umask, as for any file the user creates.
    return FileDescriptor::open(path, accessMode | O_CREAT | O_EXCL | O_NOFOLLOW, failureAction, 0666);
}

Result<void> removeFile(const std::filesystem::path& path, std::string_view failureAction) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        return failure(Error::fromErrno(failureAction, path, errno));
    return {};
}

bool isOutOfSpace(const std::filesystem::path& path) {
    // A tool stops at the first write that finds no room, so what is left is less than one write
    // buffer; a megabyte is a generous margin. Root may also use the blocks kept in reserve.
    constexpr unsigned long long nearlyFull = 1 << 20;
    struct statvfs facts {};
    if (::statvfs(path.c_str(), &facts) != 0)
        return false;
    const auto blocks = ::geteuid() == 0 ? facts.f_bfree : facts.f_bavail;
    return static_cast<unsigned long long>(blocks) * facts.f_frsize < nearlyFull;
}

Result<void> writeFileAtomically(const std::filesystem::path& target, std::string_view contents,
                                 TemporaryName temporaryName) {
    static std::atomic<unsigned> counter{0};
    const std::string name = target.filename().string();
    const std::string hidden = name.starts_with('.') ? name : "." + name;
    const auto temporary = target.parent_path() / (temporaryName == TemporaryName::fixed
                                                       ? hidden + ".part"
                                                       : hidden + ".tmp-" + std::to_string(::getpid()) + "-" +
                                                             std::to_string(counter++));
    // Whichever step fails, the message names the file the caller asked for.
    constexpr std::string_view action = "Не удалось записать";
    const auto failed = [&](const Error& error) {
        return failure(Error::fromErrno(action, target, static_cast<int>(error.code().value_or(EIO))));
    };
    auto file = createFileReplacing(temporary, O_WRONLY, action);
    if (!file)
        return failed(file.error());
    const auto written = [&]() -> Result<void> {
        TRY(file->write(contents, action));
        TRY(file->sync(action));
        TRY(file->close(action));
        if (::rename(temporary.c_str(), target.c_str()) != 0)
            return failure(Error::fromErrno(action, target, errno));
        return {};
    }();
    if (!written) {
        removeQuietly(temporary);
        return failed(written.error());
    }
    // The rename is durable only once the folder is.
    return syncFolder(target.parent_path());
}

Result<std::string> readWholeFile(const std::filesystem::path& path) {
    const auto file = TRY(FileDescriptor::open(path, O_RDONLY, "Не удалось прочитать"));
    std::string contents;
    std::vector<char> chunk(1 << 16);
    while (true) {
        const ssize_t got = ::read(file.get(), chunk.data(), chunk.size());
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return failure(Error::fromErrno("Не удалось прочитать", path, errno));
        }
        if (got == 0)
            break;
        contents.append(chunk.data(), static_cast<size_t>(got));
    }
    return contents;
}

void removeQuietly(const std::filesystem::path& path) { ::unlink(path.c_str()); }

bool fileExists(const std::filesystem::path& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0;
}

std::string expandTilde(const std::string& path) {
    if (path.empty() || path.front() != '~')
        return path;
    const size_t slash = path.find('/');
    const std::string user = path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
    const std::string rest = slash == std::string::npos ? std::string() : path.substr(slash);
    if (user.empty())
        return Paths::homeDirectory().string() + rest;

    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return path;
    return std::string(found->pw_dir) + rest;
}

} // namespace zorvel
