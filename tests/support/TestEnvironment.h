#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace zorvel::test {

// A fresh folder under the test binary's private root, removed when the object goes.
class TemporaryFolder {
public:
    explicit TemporaryFolder(const std::string& hint = "folder");
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    const std::filesystem::path& path() const { return m_path; }
    std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

private:
    std::filesystem::path m_path;
};

// The private root that HOME and the XDG folders point into for this test binary.
const std::filesystem::path& privateRoot();

// File names in a folder, sorted.
std::vector<std::string> listFolder(const std::filesystem::path& folder);

void writeText(const std::filesystem::path& path, const std::string& text);
std::string readText(const std::filesystem::path& path);

// The outcome of running a program to its end.
struct ProgramRun {
    int exitStatus = -1;
    std::string standardOutput;
    std::string standardError;
};

// Runs `program` with `arguments` (no shell), collecting both output streams. `extraEnvironment`
// holds "NAME=value" entries added to (or replacing in) the current environment.
ProgramRun runProgram(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                      const std::vector<std::string>& extraEnvironment = {},
                      const std::filesystem::path& workingDirectory = {});

// Stops a process (SIGSTOP) until the object goes (SIGCONT): a server that hangs.
class StoppedProcess {
public:
    explicit StoppedProcess(int pid);
    ~StoppedProcess();
    StoppedProcess(const StoppedProcess&) = delete;
    StoppedProcess& operator=(const StoppedProcess&) = delete;

private:
    int m_pid;
};

// The process that answers PULSE_SERVER, as scripts/sound-server names it; 0 when it does not.
int soundServerPid();

// A program started by runProgram's rules and left running; its output streams go to files.
class RunningProgram {
public:
    RunningProgram(pid_t pid, std::filesystem::path standardOutput, std::filesystem::path standardError)
        : m_pid(pid), m_standardOutput(std::move(standardOutput)), m_standardError(std::move(standardError)) {}
    RunningProgram(RunningProgram&& other) noexcept;
    RunningProgram(const RunningProgram&) = delete;
    RunningProgram& operator=(const RunningProgram&) = delete;
    // Kills a program still running, so that a failed test leaves nothing behind.
    ~RunningProgram();

    pid_t pid() const { return m_pid; }
    // Waits for the end; the exit status is 128 + the signal for a program killed by one.
    ProgramRun wait();

private:
    pid_t m_pid;
    std::filesystem::path m_standardOutput;
    std::filesystem::path m_standardError;
};

// Starts `program` like runProgram. Its standard output goes to `standardOutput` when given (for
// instance "/dev/full"), else to a file that wait() reads.
RunningProgram startProgram(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                            const std::vector<std::string>& extraEnvironment = {},
                            const std::filesystem::path& workingDirectory = {},
                            const std::filesystem::path& standardOutput = {});

// Waits, at most until `timeout`, for `condition` to hold; true when it did.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::seconds(30));

// Whether a process with this PID still exists and is not a zombie.
bool processIsAlive(pid_t pid);

// The built zorvel executable and the recogniser test double.
std::filesystem::path zorvelExecutable();
std::filesystem::path whisperDouble();

// The whisper-cli build that scripts/setup made (bin/whisper-cli, models/ with the voice-activity
// model and whisper.cpp's weightless test model); empty when the build was configured without one.
std::filesystem::path realWhisperDirectory();
// Said by the tests that skip for want of it.
constexpr const char* noRealWhisperReason =
    "whisper-cli was not built: scripts/setup had no whisper.cpp source (set ZORVEL_WHISPER_SOURCE to "
    "its release tarball and run scripts/setup again)";

} // namespace zorvel::test
