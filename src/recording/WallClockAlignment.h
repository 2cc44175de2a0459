#pragma once

#include <cstdint>

namespace zorvel {

// Keeps a capture file in step with the wall clock from the recording's start: where the sound
// server delivered nothing (a suspended or idle device, a restart gap) silence is added, and where
// a device clock runs fast the surplus is dropped. Normal delivery jitter, which is well below the
// tolerances, changes nothing, so real audio is never cut for it. Pure arithmetic on frame counts.
class WallClockAlignment {
public:
    explicit WallClockAlignment(int sampleRate) : m_rate(sampleRate) {}

    // Tolerated lag of the file behind the wall clock before silence is added; normal lag is one
    // record buffer (~20 ms) plus the server's latency.
    static constexpr double lagTolerance = 0.08;
    // The lag left after padding: the usual delivery latency, so that the next buffers land on time.
    static constexpr double typicalLag = 0.02;
    // Tolerated lead before frames are dropped. Audio cannot arrive before it happens, so a lead
    // means the device's clock runs fast (or a server flushed a backlog we had padded for).
    static constexpr double leadTolerance = 0.2;
    // With no delivery at all, the file is padded after this long, so that it keeps growing.
    static constexpr double idleTolerance = 0.5;

    struct Placement {
        std::int64_t silenceBefore = 0;
        std::int64_t dropFromStart = 0;
    };

    // Where `frames` frames (in the file's rate) that arrive `elapsed` seconds after the start
    // belong, given the frames already in the file.
    Placement place(double elapsed, std::int64_t framesInFile, std::int64_t frames) const;

    // Silence to add when nothing has arrived: none until the file lags by idleTolerance.
    std::int64_t idleSilence(double elapsed, std::int64_t framesInFile) const;

    // Silence that brings the file exactly to `elapsed` (at the end of a recording).
    std::int64_t finalSilence(double elapsed, std::int64_t framesInFile) const;

private:
    std::int64_t framesAt(double seconds) const { return static_cast<std::int64_t>(seconds * m_rate); }

    int m_rate;
};

} // namespace zorvel
