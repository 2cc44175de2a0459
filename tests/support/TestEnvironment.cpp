#include "TestEnvironment.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <poll.h>
#include <csignal>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

extern char** environ;

namespace zorvel::test {

const std::filesystem::path& privateRoot() {
    static const std::filesystem::path root = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "zorvel-test-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        return std::filesystem::path(pattern);
    }();
    return root;
}

TemporaryFolder::TemporaryFolder(const std::string& hint) {
    static std::atomic<int> counter{0};
    m_path = privateRoot() / "work" / (hint + "-" + std::to_string(counter++));
    std::filesystem::create_directories(m_path);
}

TemporaryFolder::~TemporaryFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::vector<std::string> listFolder(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::ranges::sort(names);
    return names;
}

void writeText(const std::filesystem::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string readText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

namespace {

// The current environment with `extra` ("NAME=value") added or replacing, as "NAME=value" texts.
std::vector<std::string> environmentWith(const std::vector<std::string>& extra) {
    std::map<std::string, std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        const auto equals = text.find('=');
        environment[text.substr(0, equals)] = text.substr(equals == std::string::npos ? text.size() : equals + 1);
    }
    for (const auto& text : extra) {
        const auto equals = text.find('=');
        environment[text.substr(0, equals)] = text.substr(equals + 1);
    }
    std::vector<std::string> texts;
    for (const auto& [name, value] : environment)
        texts.push_back(name + "=" + value);
    return texts;
}

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (auto& text : texts)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Starts `program` with standard input from the null device and the two output streams on the
// given descriptors.
pid_t spawn(const std::filesystem::path& program, const std::vector<std::string>& arguments,
            const std::vector<std::string>& extraEnvironment, const std::filesystem::path& workingDirectory,
            int standardOutput, int standardError) {
    std::vector<std::string> environmentTexts = environmentWith(extraEnvironment);
    std::vector<char*> envp = pointersTo(environmentTexts);
    std::vector<std::string> argumentTexts{program.string()};
    argumentTexts.insert(argumentTexts.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv = pointersTo(argumentTexts);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, standardOutput, 1);
    posix_spawn_file_actions_adddup2(&actions, standardError, 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (!workingDirectory.empty())
        posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.c_str());
    pid_t child = 0;
    const int spawned = posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        throw std::runtime_error("cannot start " + program.string());
    return child;
}

int exitStatusOf(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

} // namespace

ProgramRun runProgram(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                      const std::vector<std::string>& extraEnvironment,
                      const std::filesystem::path& workingDirectory) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    pid_t child = 0;
    try {
        child = spawn(program, arguments, extraEnvironment, workingDirectory, out[1], err[1]);
    } catch (...) {
        for (const int fd : {out[0], out[1], err[0], err[1]})
            ::close(fd);
        throw;
    }
    ::close(out[1]);
    ::close(err[1]);
    ProgramRun run;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open = 2;
    char buffer[4096];
    while (open > 0) {
        if (::poll(fds, 2, -1) < 0)
            continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
            if (got <= 0) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            } else {
                (i == 0 ? run.standardOutput : run.standardError).append(buffer, static_cast<size_t>(got));
            }
        }
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    run.exitStatus = exitStatusOf(status);
    return run;
}

RunningProgram startProgram(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                            const std::vector<std::string>& extraEnvironment,
                            const std::filesystem::path& workingDirectory,
                            const std::filesystem::path& standardOutput) {
    static std::atomic<int> counter{0};
    const auto base = privateRoot() / ("program-" + std::to_string(counter++));
    const std::filesystem::path outputPath = standardOutput.empty() ? std::filesystem::path(base.string() + ".out") : standardOutput;
    const auto errorPath = base.string() + ".err";
    const int output = ::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int error = ::open(errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (output < 0 || error < 0)
        throw std::runtime_error("cannot open the output files of " + program.string());
    const pid_t child = spawn(program, arguments, extraEnvironment, workingDirectory, output, error);
    ::close(output);
    ::close(error);
    return RunningProgram(child, standardOutput.empty() ? outputPath : std::filesystem::path(), errorPath);
}

RunningProgram::RunningProgram(RunningProgram&& other) noexcept
    : m_pid(std::exchange(other.m_pid, -1)), m_standardOutput(std::move(other.m_standardOutput)),
      m_standardError(std::move(other.m_standardError)) {}

RunningProgram::~RunningProgram() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
}

ProgramRun RunningProgram::wait() {
    int status = 0;
    while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_pid = -1;
    ProgramRun run;
    run.exitStatus = exitStatusOf(status);
    if (!m_standardOutput.empty())
        run.standardOutput = readText(m_standardOutput);
    run.standardError = readText(m_standardError);
    return run;
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

bool processIsAlive(pid_t pid) {
    const std::string status = readText("/proc/" + std::to_string(pid) + "/stat");
    if (status.empty())
        return false;
    // The state follows the command name, which is in parentheses and may hold blanks.
    const auto close = status.rfind(')');
    return close == std::string::npos || close + 2 >= status.size() || status[close + 2] != 'Z';
}

std::filesystem::path zorvelExecutable() { return ZORVEL_EXECUTABLE; }
std::filesystem::path whisperDouble() { return WHISPER_DOUBLE; }
std::filesystem::path realWhisperDirectory() { return REAL_WHISPER_DIR; }

StoppedProcess::StoppedProcess(int pid) : m_pid(pid) {
    if (::kill(m_pid, SIGSTOP) != 0)
        throw std::runtime_error("could not stop process " + std::to_string(pid));
}

StoppedProcess::~StoppedProcess() { ::kill(m_pid, SIGCONT); }

int soundServerPid() {
    const char* pid = std::getenv("ZORVEL_SOUND_SERVER_PID");
    return pid != nullptr ? std::atoi(pid) : 0;
}

} // namespace zorvel::test
