// Preloaded into zorvel (LD_PRELOAD) to kill it with SIGKILL at a chosen step: just before the
// N-th call that changes what a folder holds for good (unlink, unlinkat, rename, renameat,
// renameat2), N taken from ZORVEL_CRASH_AT. Every call is noted, one line each, in the file named
// by ZORVEL_CRASH_LOG, so that a test sees how far a run got. Programs that zorvel starts don't
// inherit it.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

long crashAt = 0;
long calls = 0;
const char* logPath = nullptr;

__attribute__((constructor)) void takeSettings() {
    if (const char* at = std::getenv("ZORVEL_CRASH_AT"))
        crashAt = std::strtol(at, nullptr, 10);
    if (const char* log = std::getenv("ZORVEL_CRASH_LOG"))
        logPath = strdup(log);
    ::unsetenv("LD_PRELOAD");
    ::unsetenv("ZORVEL_CRASH_AT");
    ::unsetenv("ZORVEL_CRASH_LOG");
}

void step(const char* operation, const char* path) {
    ++calls;
    if (logPath) {
        const int fd = ::open(logPath, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        if (fd >= 0) {
            char line[4200];
            const int length = std::snprintf(line, sizeof line, "%ld %s %s\n", calls, operation, path);
            if (length > 0)
                (void)!::write(fd, line, static_cast<size_t>(length) < sizeof line ? static_cast<size_t>(length) : sizeof line - 1);
            ::close(fd);
        }
    }
    if (calls == crashAt)
        ::kill(::getpid(), SIGKILL);
}

template <typename Function> Function next(const char* name) {
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" {

int unlink(const char* path) {
    step("unlink", path);
    static const auto real = next<int (*)(const char*)>("unlink");
    return real(path);
}

int unlinkat(int directory, const char* path, int flags) {
    step("unlinkat", path);
    static const auto real = next<int (*)(int, const char*, int)>("unlinkat");
    return real(directory, path, flags);
}

int rename(const char* from, const char* to) {
    step("rename", to);
    static const auto real = next<int (*)(const char*, const char*)>("rename");
    return real(from, to);
}

int renameat(int fromDirectory, const char* from, int toDirectory, const char* to) {
    step("renameat", to);
    static const auto real = next<int (*)(int, const char*, int, const char*)>("renameat");
    return real(fromDirectory, from, toDirectory, to);
}

int renameat2(int fromDirectory, const char* from, int toDirectory, const char* to, unsigned int flags) {
    step("renameat2", to);
    static const auto real = next<int (*)(int, const char*, int, const char*, unsigned int)>("renameat2");
    return real(fromDirectory, from, toDirectory, to, flags);
}

} // extern "C"
