#include "support/Files.h"

#include "support/FileDescriptor.h"
#include "support/Paths.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace zorvel {

Result<void> writeFileAtomically(const std::filesystem::path& target, std::string_view contents) {
    static std::atomic<unsigned> counter{0};
    const auto temporary = target.parent_path() / ("." + target.filename().string() + ".tmp-" +
                                                   std::to_string(::getpid()) + "-" + std::to_string(counter++));
    // Whichever step fails, the message names the file the caller asked for.
    constexpr std::string_view action = "Не удалось записать";
    const auto failed = [&](const Error& error) {
        return failure(Error::fromErrno(action, target, static_cast<int>(error.code().value_or(EIO))));
    };
    // The mode is filtered by the umask, as for any file the user creates.
    auto file = FileDescriptor::open(temporary, O_WRONLY | O_CREAT | O_EXCL, action, 0666);
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
    // Makes the rename itself durable; the file is complete either way.
    (void)syncFolder(target.parent_path());
    return {};
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
