#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace zorvel::bench {

// How one run of an outside program went: wall time and the CPU time of the program itself.
struct ToolRun {
    double wallSeconds = 0;
    double cpuSeconds = 0;
    // getrusage's ru_maxrss of the child: its own peak, or this process's peak at the spawn when
    // that was higher (see peakResidentKiB).
    long maxrssKiB = 0;
    bool succeeded = false;
};

// Runs `arguments` (program first, looked up in $PATH) with standard output going to `output`
// and standard error to `errors`, and waits for it. Never through a shell.
ToolRun runTool(const std::vector<std::string>& arguments, const std::filesystem::path& output = "/dev/null",
                const std::filesystem::path& errors = "/dev/null");

// Seconds taken by `work`.
template <typename Work> double secondsOf(Work&& work) {
    const auto start = std::chrono::steady_clock::now();
    std::forward<Work>(work)();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values);

// Reads the whole file through read(2) into a reused 128 KiB buffer (the fastest size here): the
// cost of merely getting its bytes from the page cache, the floor for anything that looks at
// every sample.
double readFloorSeconds(const std::filesystem::path& path);

// This process's peak resident memory in KiB, from VmHWM in /proc/self/status. Unlike
// getrusage's ru_maxrss it starts afresh at exec: a child spawned through vfork inherits
// its parent's high-water mark into ru_maxrss.
long peakResidentKiB();

} // namespace zorvel::bench
