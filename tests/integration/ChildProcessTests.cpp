// Child processes start with a clean slate and are found only by absolute path.
#include "TestAudio.h"
#include "TestEnvironment.h"
#include "support/ChildProcess.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

namespace zorvel {
namespace {

using test::readText;
using test::TemporaryFolder;
using test::writeText;

// Runs a shell command line as a child, its output into a file, and returns that output.
std::string childSays(const std::string& commandLine, const std::vector<int>& passed = {}) {
    const TemporaryFolder folder("child");
    const int output = ::open((folder / "output").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const auto outcome =
        runChildProcess("/bin/sh", {"-c", commandLine}, ChildStreams{ChildOutput::toDescriptor, output, {}, passed});
    ::close(output);
    EXPECT_TRUE(outcome && outcome->succeeded());
    return readText(folder / "output");
}

// An open capture (libsndfile would open it without O_CLOEXEC), a blocked and an ignored signal in
// the parent: the child sees none of them.
TEST(ChildProcess, StartsWithOnlyItsStreamsAndNoBlockedOrIgnoredSignal) {
    const TemporaryFolder folder("capture");
    auto capture = AudioFileWriter::create(folder / "mic.caf", {48000, 1, SampleFormat::float32});
    ASSERT_TRUE(capture);
    const int leaky = ::open((folder / "leaky").c_str(), O_WRONLY | O_CREAT, 0600); // no O_CLOEXEC
    sigset_t blocked, previous;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &blocked, &previous);
    struct sigaction ignore {}, before {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGUSR1, &ignore, &before);

    const std::string said = childSays("ls -l /proc/$$/fd; grep -E '^Sig(Blk|Ign)' /proc/$$/status");
    ::sigaction(SIGUSR1, &before, nullptr);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    ::close(leaky);

    EXPECT_EQ(said.find("mic.caf"), std::string::npos) << said;
    EXPECT_EQ(said.find("leaky"), std::string::npos) << said;
    EXPECT_EQ(said.find(" 3 -> "), std::string::npos) << said;
    EXPECT_NE(said.find("SigBlk:\t0000000000000000"), std::string::npos) << said;
    EXPECT_NE(said.find("SigIgn:\t0000000000000000"), std::string::npos) << said;
}

TEST(ChildProcess, PassedDescriptorsAreReachedByTheirNumber) {
    const TemporaryFolder folder("passed");
    writeText(folder / "first", "один");
    const int first = ::open((folder / "first").c_str(), O_RDONLY | O_CLOEXEC);
    const int second = ::open((folder / "second").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    EXPECT_EQ(childSays("cat " + passedDescriptorPath(0) + " > " + passedDescriptorPath(1) + "; ls /proc/$$/fd",
                        {first, second}),
              "0\n1\n2\n3\n4\n");
    ::close(first);
    ::close(second);
    EXPECT_EQ(readText(folder / "second"), "один");
}

TEST(ChildProcess, AProgramThatCannotStartIsAnErrorNotAnExitStatus) {
    const auto outcome = runChildProcess("/nonexistent/tool", {}, ChildOutput::toNullDevice);
    ASSERT_FALSE(outcome);
    EXPECT_TRUE(outcome.error().description().starts_with("Не удалось запустить tool «/nonexistent/tool»"))
        << outcome.error().description();
}

// An empty or relative PATH entry would run whatever lies in the current folder.
TEST(ChildProcess, ProgramsAreFoundOnlyInAbsolutePathEntries) {
    const TemporaryFolder folder("path");
    std::filesystem::create_directories(folder / "bin");
    for (const auto& tool : {folder / "tool", folder / "bin" / "tool"}) {
        writeText(tool, "#!/bin/sh\n");
        std::filesystem::permissions(tool, std::filesystem::perms::owner_all);
    }
    const std::string saved = std::getenv("PATH");
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(folder.path());
    ::setenv("PATH", ":.:bin", 1);
    const auto relativeOnly = findInPath("tool");
    ::setenv("PATH", (":bin:" + (folder / "bin").string()).c_str(), 1);
    const auto absolute = findInPath("tool");
    ::setenv("PATH", saved.c_str(), 1);
    std::filesystem::current_path(cwd);
    EXPECT_FALSE(relativeOnly) << *relativeOnly;
    EXPECT_EQ(absolute, folder / "bin" / "tool");
}

} // namespace
} // namespace zorvel
