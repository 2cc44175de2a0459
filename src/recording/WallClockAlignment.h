#pragma once

#include <cstdint>

namespace zorvel {

// Keeps a capture file in step with the wall clock from the recording's start: where the sound
// server delivered nothing (a suspended or idle device, a restart gap) silence is added, and where
// a device clock runs fast the surplus is dropped. Buffers normally reach the file a little after
// they were captured. That steady lag is learned once, as the average over the first buffers, and
// every correction returns the file to it. After a gap the new capture's lag is measured the same
// way and any difference is evened out once, so that corrections do not add up over many gaps. A
// lag that keeps growing is a slow device clock: it is corrected, never learned. Ordinary delivery
// jitter changes nothing, so real audio is never cut for it. Pure arithmetic on frame counts; one
// thread.
class WallClockAlignment {
public:
    explicit WallClockAlignment(int sampleRate) : m_rate(sampleRate) {}

    // Tolerated lag beyond the steady one before silence is added.
    static constexpr double lagTolerance = 0.05;
    // The steady lag assumed until one is learned: about one record buffer.
    static constexpr double initialSteadyLag = 0.02;
    // Buffers averaged to learn a capture's lag (about a second of 20 ms buffers).
    static constexpr int learningBuffers = 50;
    // Tolerated lead over the steady lag before frames are dropped: a lead means the device's clock
    // runs fast (or a server flushed a backlog we had padded for).
    static constexpr double leadTolerance = 0.08;
    // With no delivery at all, the file is padded after this long, so that it keeps growing.
    static constexpr double idleTolerance = 0.5;

    struct Placement {
        std::int64_t silenceBefore = 0;
        std::int64_t dropFromStart = 0;
    };

    // Where `frames` frames (in the file's rate) that arrive `elapsed` seconds after the start
    // belong, given the frames already in the file. `afterGap`: the first buffers of a new capture,
    // where any time missing beyond the steady lag is a known gap.
    Placement place(double elapsed, std::int64_t framesInFile, std::int64_t frames, bool afterGap);

    // Silence to add when nothing has arrived: none until the file lags by idleTolerance; then up
    // to a little more than the tolerated lag, so that delivery resuming finds the rest as a gap.
    std::int64_t idleSilence(double elapsed, std::int64_t framesInFile) const;

    // Silence that brings the file exactly to `elapsed` (at the end of a recording).
    std::int64_t finalSilence(double elapsed, std::int64_t framesInFile) const;

    double steadyLag() const { return m_steadyLag; }

private:
    std::int64_t framesAt(double seconds) const { return static_cast<std::int64_t>(seconds * m_rate); }

    int m_rate;
    double m_steadyLag = initialSteadyLag;
    bool m_steadyLagLearned = false;
    // The current capture's lag being measured; done at learningBuffers.
    double m_learnedSum = 0;
    int m_learnedCount = 0;
};

} // namespace zorvel
