#include "support/Files.h"

#include "support/Paths.h"

#include <atomic>
#include <utility>
#include <cerrno>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace zorvel {

namespace {

// Owns one file descriptor.
class Descriptor {
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return m_fd; }
    int release() { return std::exchange(m_fd, -1); }

private:
    int m_fd;
};

} // namespace

Result<void> writeFileAtomically(const std::filesystem::path& target, std::string_view contents) {
    static std::atomic<unsigned> counter{0};
    const auto temporary = target.parent_path() / ("." + target.filename().string() + ".tmp-" +
                                                   std::to_string(::getpid()) + "-" + std::to_string(counter++));
    // The mode is filtered by the umask, as for any file the user creates.
    Descriptor fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (fd.get() < 0)
        return failure(Error::fromErrno("Не удалось записать", target, errno));
    if (!writeToDescriptor(fd.get(), contents) || ::fsync(fd.get()) != 0) {
        const int code = errno;
        removeQuietly(temporary);
        return failure(Error::fromErrno("Не удалось записать", target, code));
    }
    if (::close(fd.release()) != 0 || ::rename(temporary.c_str(), target.c_str()) != 0) {
        const int code = errno;
        removeQuietly(temporary);
        return failure(Error::fromErrno("Не удалось записать", target, code));
    }
    return {};
}

Result<std::string> readWholeFile(const std::filesystem::path& path) {
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0)
        return failure(Error::fromErrno("Не удалось прочитать", path, errno));
    std::string contents;
    std::vector<char> chunk(1 << 16);
    while (true) {
        const ssize_t got = ::read(fd.get(), chunk.data(), chunk.size());
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

bool writeToDescriptor(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        text.remove_prefix(static_cast<size_t>(written));
    }
    return true;
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
