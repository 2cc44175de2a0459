#include "support/FileTimes.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace zorvel {

std::optional<std::chrono::system_clock::time_point> creationTime(const std::filesystem::path& path) {
    using namespace std::chrono;
#if defined(__linux__)
    struct statx attributes {};
    if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME, &attributes) != 0 || !(attributes.stx_mask & STATX_BTIME))
        return std::nullopt;
    return system_clock::time_point(duration_cast<system_clock::duration>(seconds(attributes.stx_btime.tv_sec) +
                                                                          nanoseconds(attributes.stx_btime.tv_nsec)));
#else
    struct stat attributes {};
    if (::stat(path.c_str(), &attributes) != 0)
        return std::nullopt;
    return system_clock::time_point(duration_cast<system_clock::duration>(
        seconds(attributes.st_birthtimespec.tv_sec) + nanoseconds(attributes.st_birthtimespec.tv_nsec)));
#endif
}

} // namespace zorvel
