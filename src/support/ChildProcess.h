#pragma once

#include "support/Error.h"

#include <filesystem>
#include <functional>
#include <mutex>
#include <sys/types.h>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zorvel {

// How a child process ended. Exited and killed by a signal are different outcomes.
struct ProcessOutcome {
    enum class Kind { exited, signalled };
    Kind kind = Kind::exited;
    int code = 0; // exit status or signal number

    bool succeeded() const { return kind == Kind::exited && code == 0; }
};

enum class ChildOutput { toDescriptor, toNullDevice };

// Lets another thread end a child early: cancel() kills the running child's process group, and
// any child started with it afterwards at once.
class ChildCancel {
public:
    void cancel();
    bool cancelled() const;

    // For runChildProcess: the child is on record until it has been waited for, so its process
    // group is never confused with a later one of the same number.
    void attach(pid_t group);
    void detach();

private:
    mutable std::mutex m_mutex;
    pid_t m_group = 0;
    bool m_cancelled = false;
};

// What a child gets besides its arguments.
struct ChildStreams {
    // Standard output and standard error both go here (one shared open file, so the child's lines
    // and ours keep their order), or to the null device.
    ChildOutput output = ChildOutput::toNullDevice;
    int outputDescriptor = -1;
    // When set, standard output goes through a pipe to this function instead, piece by piece as
    // the child writes; standard error still goes where `output` says.
    std::function<void(std::string_view)> readStandardOutput;
    // Open files the child gets as descriptors 3, 4, … in this order, so that it reads and writes
    // files we opened (see passedDescriptorPath) instead of opening names itself.
    std::vector<int> passedDescriptors;
    // When set, another thread may end the child early; it then counts as killed by SIGKILL.
    ChildCancel* cancel = nullptr;
};

// Starts `executable` (an absolute path) with `arguments` (not including the program's own name)
// and waits for it. Never through a shell. The child starts with a clean slate: only its three
// standard streams and the passed descriptors open, no signal blocked or ignored, its own process
// group, and it is killed when Zorvel dies (PR_SET_PDEATHSIG) or is asked to end (see
// TerminationSignals). Standard input is inherited.
// Fails when the child can't be started, and when Zorvel is ending (before or while it runs).
// Threads: any; each call waits for its own child.
Result<ProcessOutcome> runChildProcess(const std::filesystem::path& executable,
                                       const std::vector<std::string>& arguments, const ChildStreams& streams);

// The same with standard output and standard error on `outputDescriptor` or the null device.
Result<ProcessOutcome> runChildProcess(const std::filesystem::path& executable,
                                       const std::vector<std::string>& arguments, ChildOutput output,
                                       int outputDescriptor = -1);

// The name under which a child reaches the passed descriptor number `index` (0 for the first):
// "/proc/self/fd/3" and on. Opening it opens the very file we opened, whatever its name is now
// and whatever link was planted under that name since.
std::string passedDescriptorPath(std::size_t index);

// The first "name" in $PATH that the current user may execute. Only absolute entries count: an
// empty or relative one would run a program from the current folder.
std::optional<std::filesystem::path> findInPath(const std::string& name);

bool isExecutableFile(const std::filesystem::path& path);

// SIGTERM, SIGINT and SIGHUP end Zorvel without leaving children behind: the handler kills the
// process group of every running child, remembers the signal, and refuses to start new children.
// The run that waited for a child then fails, cleans up after itself, and the caller ends the
// process with endWithSignal().
namespace TerminationSignals {

// Installs the handlers. Once, on the main thread, before any child runs.
void install();

// The signal that asked Zorvel to end, 0 while none did. Async-signal-safe.
int received();

// Readable (one byte) once a signal arrived, for an event loop that must wake up for it; -1 when
// install() has not run.
int wakeDescriptor();

// Behaves as if `signal` had arrived (for quitting the tray while a run goes on).
void raise(int signal);

// Ends the process by the signal that arrived, with its default action, as if no handler had
// been installed: the parent sees the process killed by that signal.
[[noreturn]] void endWithSignal(int signal);

} // namespace TerminationSignals

} // namespace zorvel
