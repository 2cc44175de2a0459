#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
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

// Checks `condition` every millisecond until it holds or `timeout` has passed; returns whether it
// holds. For conditions another thread or process makes true.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

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
