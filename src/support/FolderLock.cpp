#include "support/FolderLock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace zorvel {

bool isFolderLocked(const std::filesystem::path& folder) {
    const auto path = folder / folderLockFileName;
    // O_NONBLOCK: a planted FIFO must not hang the caller; O_NOFOLLOW: a planted link is no lock.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return false;
    int result;
    do
        result = ::flock(fd, LOCK_SH | LOCK_NB);
    while (result != 0 && errno == EINTR);
    const bool locked = result != 0 && errno == EWOULDBLOCK;
    // Closing the descriptor releases a probe that succeeded.
    ::close(fd);
    return locked;
}

} // namespace zorvel
