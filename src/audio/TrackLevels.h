#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

namespace zorvel {

// The loudness of a capture file as it is written: the linear RMS level (full scale 1.0) over all
// channels of every whole 10 ms window of file frames, in order. Its writer adds frames only once
// they are in the file, so a window counted here can be read back from the file. Written by one
// thread, read from any.
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

    const int m_framesPerWindow;
    // Writer only: the window being filled.
    double m_sumOfSquares = 0; // of the frames' mean squares
    std::int64_t m_frames = 0;

    mutable std::mutex m_mutex;
    std::vector<float> m_levels; // guarded by m_mutex
};

} // namespace zorvel
