#pragma once

#include "support/Error.h"

#include <filesystem>
#include <optional>
#include <string>
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

// Starts `executable` with `arguments` (not including the program's own name) through
// posix_spawn, never a shell, and waits for it. Standard output and standard error both go to
// `outputDescriptor` (one shared open file, so the child's lines and ours keep their order),
// or to the null device. Standard input is inherited. Fails only when the child can't be started.
Result<ProcessOutcome> runChildProcess(const std::filesystem::path& executable,
                                       const std::vector<std::string>& arguments, ChildOutput output,
                                       int outputDescriptor = -1);

// The first "name" in $PATH that the current user may execute. Empty and relative entries of
// $PATH are skipped: they name the current folder, and a recording folder is nobody's program
// folder.
std::optional<std::filesystem::path> findInPath(const std::string& name);

bool isExecutableFile(const std::filesystem::path& path);

} // namespace zorvel
