#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace zorvel {

// The loudness of a capture file as it is written: the linear RMS level (full scale 1.0) over all
// channels of every whole 10 ms window of file frames, in order. Its writer adds frames only once
// they are in the file, so a window counted here can be read back from the file. Written by one
// thread, read from any.
//
// The writer is the capture's own thread and never waits for a reader: readers run at the lowest
// priority and may be held off the CPU for long, so a lock they hold could stall the capture.
// Levels go into blocks that never move, and a count published after each level says how many
// can be read.
class TrackLevels {
public:
    explicit TrackLevels(int sampleRate);

    int framesPerWindow() const { return m_framesPerWindow; }

    // Writer only.
    void add(const float* interleaved, int channels, std::int64_t frames);
    void addSilence(std::int64_t frames);

    // The levels of the whole windows from `fromWindow` on.
    std::vector<float> since(std::int64_t fromWindow) const;
    std::int64_t windowCount() const;

private:
    void closeWindow();

    // About 41 s of levels a block, room for more than 90 hours; after that levels are no longer
    // kept, which only ends the cutting of the recording into stretches.
    static constexpr std::size_t blockSize = 4096;
    static constexpr std::size_t maxBlocks = 8192;

    const int m_framesPerWindow;
    // Writer only: the window being filled.
    double m_sumOfSquares = 0; // of the frames' mean squares
    std::int64_t m_frames = 0;

    // Each block is allocated by the writer before the count that first covers it is published.
    std::array<std::unique_ptr<float[]>, maxBlocks> m_blocks;
    std::atomic<std::size_t> m_count{0};
};

} // namespace zorvel
