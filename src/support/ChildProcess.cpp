#include "support/ChildProcess.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zorvel {

namespace {

// Owns a posix_spawn_file_actions_t for the lifetime of one spawn.
class FileActions {
public:
    FileActions() : m_ready(posix_spawn_file_actions_init(&m_actions) == 0) {}
    ~FileActions() {
        if (m_ready)
            posix_spawn_file_actions_destroy(&m_actions);
    }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;

    bool ready() const { return m_ready; }
    posix_spawn_file_actions_t* get() { return &m_actions; }

private:
    posix_spawn_file_actions_t m_actions{};
    bool m_ready = false;
};

} // namespace

bool isExecutableFile(const std::filesystem::path& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::optional<std::filesystem::path> findInPath(const std::string& name) {
    const char* searchPath = std::getenv("PATH");
    std::string directories = searchPath && *searchPath ? searchPath : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= directories.size()) {
        const size_t end = std::min(directories.find(':', start), directories.size());
        const std::filesystem::path directory = directories.substr(start, end - start);
        if (directory.is_absolute() && isExecutableFile(directory / name))
            return directory / name;
        start = end + 1;
    }
    return std::nullopt;
}

Result<ProcessOutcome> runChildProcess(const std::filesystem::path& executable,
                                       const std::vector<std::string>& arguments, ChildOutput output,
                                       int outputDescriptor) {
    const std::string toolName = executable.filename().string();
    FileActions actions;
    if (!actions.ready())
        return failure(Error::fromErrno("Не удалось запустить " + toolName, ENOMEM));
    if (output == ChildOutput::toNullDevice) {
        posix_spawn_file_actions_addopen(actions.get(), STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(actions.get(), STDOUT_FILENO, STDERR_FILENO);
    } else {
        posix_spawn_file_actions_adddup2(actions.get(), outputDescriptor, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(actions.get(), outputDescriptor, STDERR_FILENO);
    }

    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    std::string programName = executable.string();
    argv.push_back(programName.data());
    std::vector<std::string> copies = arguments;
    for (auto& argument : copies)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    pid_t child = 0;
    const int spawnError = posix_spawn(&child, executable.c_str(), actions.get(), nullptr, argv.data(), environ);
    if (spawnError != 0)
        return failure(Error::fromErrno("Не удалось запустить " + toolName, executable, spawnError));

    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            return failure(Error::fromErrno("Не удалось дождаться " + toolName, errno));
    }
    if (WIFSIGNALED(status))
        return ProcessOutcome{ProcessOutcome::Kind::signalled, WTERMSIG(status)};
    return ProcessOutcome{ProcessOutcome::Kind::exited, WEXITSTATUS(status)};
}

} // namespace zorvel
