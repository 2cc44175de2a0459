#include "support/ChildProcess.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/close_range.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace zorvel {

namespace {

// The process groups of the children running now, one slot each (a run has one child at a time;
// the tray may run a transcription while a second one is refused). Lock-free, so that the
// signal handler may read them.
std::array<std::atomic<pid_t>, 16> runningGroups{};
std::atomic<int> receivedSignal{0};
std::atomic<int> wakeWriteEnd{-1};
std::atomic<int> wakeReadEnd{-1};

static_assert(std::atomic<pid_t>::is_always_lock_free && std::atomic<int>::is_always_lock_free);

// Async-signal-safe: atomics, kill() and write() only.
void noteTermination(int signal) {
    int none = 0;
    receivedSignal.compare_exchange_strong(none, signal);
    for (auto& group : runningGroups)
        if (const pid_t running = group.load(); running > 0)
            ::kill(-running, SIGKILL);
    if (const int wake = wakeWriteEnd.load(); wake >= 0) {
        const char byte = 1;
        (void)!::write(wake, &byte, 1);
    }
}

extern "C" void onTerminationSignal(int signal) {
    const int saved = errno;
    noteTermination(signal);
    errno = saved;
}

// Holds a running child's process group in a slot for as long as the child runs.
class RunningGroup {
public:
    explicit RunningGroup(pid_t group) {
        for (auto& slot : runningGroups) {
            pid_t free = 0;
            if (slot.compare_exchange_strong(free, group)) {
                m_slot = &slot;
                return;
            }
        }
    }
    ~RunningGroup() {
        if (m_slot)
            m_slot->store(0);
    }
    RunningGroup(const RunningGroup&) = delete;
    RunningGroup& operator=(const RunningGroup&) = delete;

private:
    std::atomic<pid_t>* m_slot = nullptr;
};

// Closes the descriptors it holds when it goes.
struct Pipe {
    int read = -1;
    int write = -1;
    ~Pipe() {
        closeRead();
        closeWrite();
    }
    bool open() {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0)
            return false;
        read = ends[0];
        write = ends[1];
        return true;
    }
    void closeRead() {
        if (read >= 0)
            ::close(std::exchange(read, -1));
    }
    void closeWrite() {
        if (write >= 0)
            ::close(std::exchange(write, -1));
    }
};

// Everything the child needs, made before fork(): after it, the child may only make
// async-signal-safe calls, and allocating is not one of them.
struct ChildPlan {
    const char* executable = nullptr;
    char* const* argv = nullptr;
    char* const* envp = nullptr;
    pid_t parent = 0;
    int output = -1;         // -1: the null device
    int standardOutput = -1; // a pipe's write end, or -1 for `output`
    const int* passed = nullptr;
    int passedCount = 0;
    int* moved = nullptr; // room for passedCount descriptors
    int execError = -1;   // the write end of a close-on-exec pipe
    int highestDescriptor = 0;
};

[[noreturn]] void failInChild(const ChildPlan& plan) {
    const int error = errno;
    (void)!::write(plan.execError, &error, sizeof error);
    ::_exit(127);
}

// Runs in the child between fork() and execve().
[[noreturn]] void becomeChild(const ChildPlan& plan) {
    // Handlers and ignored signals of ours are not the tool's business.
    struct sigaction defaultAction {};
    defaultAction.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal)
        if (signal != SIGKILL && signal != SIGSTOP)
            ::sigaction(signal, &defaultAction, nullptr);

    // Its own group, so that ending it ends whatever it starts; and dead with us.
    ::setpgid(0, 0);
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0)
        failInChild(plan);
    if (::getppid() != plan.parent)
        ::_exit(127); // we died before the request took effect

    // Move everything we keep above the numbers it is going to have, then put it in place.
    const int firstFree = 3 + plan.passedCount;
    int output = plan.output >= 0 ? plan.output : ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (output < 0)
        failInChild(plan);
    output = ::fcntl(output, F_DUPFD, firstFree);
    const int standardOutput =
        plan.standardOutput >= 0 ? ::fcntl(plan.standardOutput, F_DUPFD, firstFree) : output;
    for (int i = 0; i < plan.passedCount; ++i)
        plan.moved[i] = ::fcntl(plan.passed[i], F_DUPFD, firstFree);
    if (output < 0 || standardOutput < 0 || ::dup2(standardOutput, STDOUT_FILENO) < 0 ||
        ::dup2(output, STDERR_FILENO) < 0)
        failInChild(plan);
    for (int i = 0; i < plan.passedCount; ++i)
        if (plan.moved[i] < 0 || ::dup2(plan.moved[i], 3 + i) < 0)
            failInChild(plan);
    // Every other descriptor closes at exec; the error pipe stays usable until then.
    if (::syscall(SYS_close_range, firstFree, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
        for (int fd = firstFree; fd <= plan.highestDescriptor; ++fd)
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }

    sigset_t nothing;
    sigemptyset(&nothing);
    // The forked child has one thread, so the process-wide mask is what pthread_sigmask would set.
    ::sigprocmask(SIG_SETMASK, &nothing, nullptr); // NOLINT(concurrency-mt-unsafe)
    ::execve(plan.executable, plan.argv, plan.envp);
    failInChild(plan);
}

int highestDescriptor() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return 65535;
    return static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 1 << 20)) - 1;
}

Error endingError(const std::string& tool) {
    return Error::platform(tool + " остановлен: Zorvel завершает работу");
}

} // namespace

bool isExecutableFile(const std::filesystem::path& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::optional<std::filesystem::path> findInPath(const std::string& name) {
    const char* searchPath = std::getenv("PATH");
    const std::string directories = searchPath && *searchPath ? searchPath : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= directories.size()) {
        const size_t end = std::min(directories.find(':', start), directories.size());
        const std::filesystem::path directory = directories.substr(start, end - start);
        start = end + 1;
        if (!directory.is_absolute())
            continue;
        if (auto candidate = directory / name; isExecutableFile(candidate))
            return candidate;
    }
    return std::nullopt;
}

std::string passedDescriptorPath(std::size_t index) {
#if defined(__APPLE__)
    return "/dev/fd/" + std::to_string(3 + index);
#else
    return "/proc/self/fd/" + std::to_string(3 + index);
#endif
}

Result<ProcessOutcome> runChildProcess(const std::filesystem::path& executable,
                                       const std::vector<std::string>& arguments, ChildOutput output,
                                       int outputDescriptor) {
    return runChildProcess(executable, arguments, ChildStreams{output, outputDescriptor, {}, {}});
}

Result<ProcessOutcome> runChildProcess(const std::filesystem::path& executable,
                                       const std::vector<std::string>& arguments, const ChildStreams& streams) {
    const std::string toolName = executable.filename().string();
    if (TerminationSignals::received())
        return failure(endingError(toolName));

    std::string programName = executable.string();
    std::vector<std::string> copies = arguments;
    std::vector<char*> argv;
    argv.reserve(copies.size() + 2);
    argv.push_back(programName.data());
    for (auto& argument : copies)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    Pipe execError;
    Pipe standardOutput;
    if (!execError.open() || (streams.readStandardOutput && !standardOutput.open()))
        return failure(Error::fromErrno("Не удалось запустить " + toolName, executable, errno));
    std::vector<int> moved(streams.passedDescriptors.size());
    ChildPlan plan;
    plan.executable = programName.c_str();
    plan.argv = argv.data();
    plan.envp = environ;
    plan.parent = ::getpid();
    plan.output = streams.output == ChildOutput::toDescriptor ? streams.outputDescriptor : -1;
    plan.standardOutput = standardOutput.write;
    plan.passed = streams.passedDescriptors.data();
    plan.passedCount = static_cast<int>(streams.passedDescriptors.size());
    plan.moved = moved.data();
    plan.execError = execError.write;
    plan.highestDescriptor = highestDescriptor();

    // No signal may run our handler in the child, nor reach us between the fork and the moment the
    // child's group is on record.
    sigset_t everything, previous;
    sigfillset(&everything);
    ::pthread_sigmask(SIG_BLOCK, &everything, &previous);
    const pid_t child = ::fork();
    if (child == 0)
        becomeChild(plan);
    const int forkError = errno;
    std::optional<RunningGroup> group;
    if (child > 0) {
        ::setpgid(child, child);
        group.emplace(child);
    }
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    execError.closeWrite();
    standardOutput.closeWrite();
    if (child < 0)
        return failure(Error::fromErrno("Не удалось запустить " + toolName, executable, forkError));
    // A signal handled on another thread before the group was on record.
    if (TerminationSignals::received())
        ::kill(-child, SIGKILL);
    if (streams.cancel)
        streams.cancel->attach(child);

    int startError = 0;
    ssize_t got = 0;
    while ((got = ::read(execError.read, &startError, sizeof startError)) < 0 && errno == EINTR) {
    }
    if (streams.readStandardOutput && got == 0) {
        char buffer[65536];
        for (;;) {
            const ssize_t piece = ::read(standardOutput.read, buffer, sizeof buffer);
            if (piece < 0 && errno == EINTR)
                continue;
            if (piece <= 0)
                break;
            streams.readStandardOutput(std::string_view(buffer, static_cast<size_t>(piece)));
        }
    }

    if (streams.cancel) {
        // Waits for the end without reaping, so that a cancel before detach() can't reach a
        // process that took the number since.
        siginfo_t ended{};
        while (::waitid(P_PID, static_cast<id_t>(child), &ended, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
        }
        streams.cancel->detach();
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            return failure(Error::fromErrno("Не удалось дождаться " + toolName, errno));
    }
    if (got == static_cast<ssize_t>(sizeof startError))
        return failure(Error::fromErrno("Не удалось запустить " + toolName, executable, startError));
    if (WIFSIGNALED(status)) {
        if (TerminationSignals::received())
            return failure(endingError(toolName));
        return ProcessOutcome{ProcessOutcome::Kind::signalled, WTERMSIG(status)};
    }
    return ProcessOutcome{ProcessOutcome::Kind::exited, WEXITSTATUS(status)};
}

void ChildCancel::cancel() {
    const std::lock_guard lock(m_mutex);
    m_cancelled = true;
    if (m_group > 0)
        ::kill(-m_group, SIGKILL);
}

bool ChildCancel::cancelled() const {
    const std::lock_guard lock(m_mutex);
    return m_cancelled;
}

void ChildCancel::attach(pid_t group) {
    const std::lock_guard lock(m_mutex);
    m_group = group;
    if (m_cancelled)
        ::kill(-m_group, SIGKILL);
}

void ChildCancel::detach() {
    const std::lock_guard lock(m_mutex);
    m_group = 0;
}

namespace TerminationSignals {

void install() {
    static const bool installed = [] {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
            wakeReadEnd.store(ends[0]);
            wakeWriteEnd.store(ends[1]);
        }
        struct sigaction action {};
        action.sa_handler = onTerminationSignal;
        sigemptyset(&action.sa_mask);
        // Other threads' calls go on; the run's own waits are ended by its child's death.
        action.sa_flags = SA_RESTART;
        for (const int signal : {SIGTERM, SIGINT, SIGHUP})
            ::sigaction(signal, &action, nullptr);
        return true;
    }();
    (void)installed;
}

int received() { return receivedSignal.load(); }

int wakeDescriptor() { return wakeReadEnd.load(); }

void raise(int signal) { noteTermination(signal); }

void endWithSignal(int signal) {
    struct sigaction defaultAction {};
    defaultAction.sa_handler = SIG_DFL;
    ::sigaction(signal, &defaultAction, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    ::kill(::getpid(), signal);
    // A signal whose default is not to end the process: end it anyway, with the shell's status.
    std::_Exit(128 + signal);
}

} // namespace TerminationSignals

} // namespace zorvel
