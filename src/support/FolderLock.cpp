#include "support/FolderLock.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace zorvel {

namespace {

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Whether `descriptor` is still the file at `path`: a holder removes the file before it unlocks,
// so a lock won on a removed file is no lock at all.
bool isStillAt(int descriptor, const std::filesystem::path& path) {
    struct stat opened {}, named {};
    return ::fstat(descriptor, &opened) == 0 && ::lstat(path.c_str(), &named) == 0 && sameFile(opened, named);
}

Error busyError(const std::filesystem::path& folder) {
    return Error::platform("Папка «" + folder.string() +
                           "» занята: в ней сейчас идёт запись или распознавание. Повторите, когда оно закончится.");
}

} // namespace

Result<FolderLock> FolderLock::acquire(const std::filesystem::path& folder) {
    const auto path = folder / folderLockFileName;
    constexpr std::string_view action = "Не удалось занять папку записи";
    // isFolderLocked holds the lock for a moment to ask; a few short retries step over that.
    constexpr int attempts = 20;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        auto file = FileDescriptor::open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK, action, 0600);
        if (!file) {
            // A link (or anything else) planted under the lock's name is no lock: it goes.
            const auto code = file.error().code();
            if (code == ELOOP || code == EISDIR || code == ENXIO) {
                ::unlink(path.c_str());
                continue;
            }
            return failure(file.error());
        }
        struct stat status {};
        if (::fstat(file->get(), &status) != 0 || !S_ISREG(status.st_mode)) {
            ::unlink(path.c_str());
            continue;
        }
        if (::flock(file->get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR)
                return failure(Error::fromErrno(action, path, errno));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        if (isStillAt(file->get(), path))
            return FolderLock(std::move(*file));
    }
    return failure(busyError(folder));
}

FolderLock& FolderLock::operator=(FolderLock&& other) noexcept {
    if (this != &other) {
        release();
        m_file = std::move(other.m_file);
    }
    return *this;
}

void FolderLock::release() {
    if (m_file.get() < 0)
        return;
    if (isStillAt(m_file.get(), m_file.path()))
        ::unlink(m_file.path().c_str());
    (void)m_file.close("Не удалось освободить папку записи");
}

bool isFolderLocked(const std::filesystem::path& folder) {
    const auto path = folder / folderLockFileName;
    // O_NONBLOCK: a planted FIFO must not hang the caller; O_NOFOLLOW: a planted link is no lock.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return false;
    int result = 0;
    do
        result = ::flock(fd, LOCK_SH | LOCK_NB);
    while (result != 0 && errno == EINTR);
    const bool locked = result != 0 && errno == EWOULDBLOCK;
    // Closing the descriptor releases a probe that succeeded.
    ::close(fd);
    return locked;
}

} // namespace zorvel
