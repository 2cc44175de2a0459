#include "audio/TrackLevels.h"

#include <algorithm>
#include <cmath>

namespace zorvel {

TrackLevels::TrackLevels(int sampleRate) : m_framesPerWindow(std::max(1, sampleRate / 100)) {}

void TrackLevels::add(const float* interleaved, int channels, std::int64_t frames) {
    for (std::int64_t frame = 0; frame < frames; ++frame) {
        double squares = 0;
        for (int channel = 0; channel < channels; ++channel) {
            const double sample = interleaved[frame * channels + channel];
            squares += sample * sample;
        }
        // Each frame's mean square, so that silence (which has no channels here) weighs the same.
        m_sumOfSquares += squares / std::max(channels, 1);
        if (++m_frames == m_framesPerWindow)
            closeWindow();
    }
}

void TrackLevels::addSilence(std::int64_t frames) {
    while (frames > 0) {
        const std::int64_t taken = std::min(frames, m_framesPerWindow - m_frames);
        m_frames += taken;
        frames -= taken;
        if (m_frames == m_framesPerWindow)
            closeWindow();
    }
}

void TrackLevels::closeWindow() {
    const auto level = static_cast<float>(std::sqrt(m_sumOfSquares / static_cast<double>(m_framesPerWindow)));
    m_sumOfSquares = 0;
    m_frames = 0;
    const std::size_t count = m_count.load(std::memory_order_relaxed);
    const std::size_t block = count / blockSize;
    if (block >= maxBlocks)
        return;
    if (!m_blocks[block])
        m_blocks[block] = std::make_unique<float[]>(blockSize);
    m_blocks[block][count % blockSize] = level;
    m_count.store(count + 1, std::memory_order_release);
}

std::vector<float> TrackLevels::since(std::int64_t fromWindow) const {
    const std::size_t count = m_count.load(std::memory_order_acquire);
    std::vector<float> levels;
    for (auto window = static_cast<std::size_t>(std::max<std::int64_t>(fromWindow, 0)); window < count;) {
        const std::size_t block = window / blockSize;
        const std::size_t end = std::min(count, (block + 1) * blockSize);
        const float* values = m_blocks[block].get();
        levels.insert(levels.end(), values + window % blockSize, values + (end - block * blockSize));
        window = end;
    }
    return levels;
}

std::int64_t TrackLevels::windowCount() const {
    return static_cast<std::int64_t>(m_count.load(std::memory_order_acquire));
}

} // namespace zorvel
