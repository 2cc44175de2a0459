// How far the recogniser has come, read from the segment lines it prints into the run's log.

#include "TestEnvironment.h"
#include "pipeline/RecogniserProgress.h"

#include <chrono>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace zorvel {
namespace {

TEST(RecogniserProgress, TheLastCompleteSegmentLineCounts) {
    const std::pair<std::string, std::optional<double>> cases[] = {
        {"", std::nullopt},
        {"[00:00:00.000 --> 00:00:04.500]   Привет.\n", 4.5},
        {"[00:00:00.000 --> 00:00:04.500]  a\n[00:01:02.000 --> 00:01:05.250]  b\n", 65.25},
        // Our own lines and the recogniser's messages around the segments.
        {"[zorvel] Дорожка system\nwhisper_init_from_file: loading model\n[00:00:01.000 --> 00:00:02.000]  a\n"
         "whisper_print_timings: total time = 10.00 ms\n",
         2.0},
        // Past 99 hours the hours take more digits.
        {"[100:00:00.000 --> 100:00:03.000]  a\n", 360003.0},
        // A line still being written is not read yet.
        {"[00:00:01.000 --> 00:00:02.000]  a\n[00:00:03.000 --> 00:00:0", 2.0},
        // Text that only looks like a timestamp, and broken timestamps.
        {"[00:00:01.000 --> 00:00:02.000]  a [00:09:00.000 --> 00:09:09.000]\n", 2.0},
        {" [00:00:01.000 --> 00:00:02.000]  a\n", std::nullopt},
        {"[00:00:01.000 -> 00:00:02.000]  a\n", std::nullopt},
        {"[00:00:01.000 --> 00:00:02.00]  a\n", std::nullopt},
        {"[0:00:01.000 --> 0:00:02.000]  a\n", std::nullopt},
        {"[00:00:01.000 --> 00:00:02.000  a\n", std::nullopt},
    };
    for (const auto& [text, end] : cases)
        EXPECT_EQ(RecogniserProgress::lastSegmentEnd(text), end) << text;
}

TEST(RecogniserProgress, FollowsTheLogFromNowUntilStoppedAndReportsTheLastLineOnStop) {
    test::TemporaryFolder folder("progress");
    const auto log = folder / "whisper.log";
    const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    const auto write = [&](const std::string& text) { ASSERT_EQ(::write(fd, text.data(), text.size()), ssize_t(text.size())); };
    // An earlier track's lines are not this track's progress.
    write("[00:09:00.000 --> 00:09:30.000]  earlier track\n");

    std::mutex mutex;
    std::vector<double> reports;
    const auto reported = [&] {
        std::lock_guard lock(mutex);
        return reports;
    };
    const auto waitForReports = [&](std::size_t count) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (reported().size() < count && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return reported().size() >= count;
    };
    {
        RecogniserProgress progress(fd, [&](double seconds) {
            std::lock_guard lock(mutex);
            reports.push_back(seconds);
        });
        write("whisper_init_from_file_with_params_no_state: loading model\n[00:00:00.000 --> 00:00:03.000]  one\n");
        ASSERT_TRUE(waitForReports(1));
        write("[00:00:03.000 --> 00:00:07.");
        write("500]  two, written in two parts\n");
        ASSERT_TRUE(waitForReports(2));
        // The last line arrives just before the recogniser ends.
        write("[00:00:07.500 --> 00:00:09.000]  three\n");
        progress.stop();
    }
    EXPECT_EQ(reported(), (std::vector<double>{3.0, 7.5, 9.0}));
    ::close(fd);
}

} // namespace
} // namespace zorvel
