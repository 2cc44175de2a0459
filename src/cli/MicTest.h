#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace zorvel {

// The self-test's duration from its operand. Absent, or text that is not wholly a C-locale number,
// gives 8 s. So does a value that is not finite or beyond what a signed 64-bit count of seconds
// holds: such a test could never end. A value under one second (zero and negatives included) runs
// the shortest test, one step; the device change is then imitated in that step.
struct MicTestDuration {
    double seconds = 8;
    long long steps = 8;
};
MicTestDuration micTestDuration(const std::optional<std::string>& operand);

// `zorvel --mic-test [SECONDS]`: records the default input into "zorvel-mic-test.caf" in a
// private folder ("zorvel-<uid>") in the temporary folder, reports the silence once a second,
// imitates a device change half way, and reports the restarts, the broken flag, the loudest 10 ms
// and the file. Creates the QCoreApplication it needs and runs on the main thread. Returns the exit
// status: 0, or 1 when the recorder ended broken, could not start, or there is no temporary folder.
int runMicTest(int& argc, char** argv, const std::vector<std::string>& arguments, std::size_t flagIndex);

} // namespace zorvel
