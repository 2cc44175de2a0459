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
    const std::lock_guard lock(m_mutex);
    m_levels.push_back(level);
}

std::vector<float> TrackLevels::since(std::int64_t fromWindow) const {
    const std::lock_guard lock(m_mutex);
    const auto from = static_cast<std::size_t>(std::clamp<std::int64_t>(fromWindow, 0, static_cast<std::int64_t>(m_levels.size())));
    return {m_levels.begin() + static_cast<std::ptrdiff_t>(from), m_levels.end()};
}

std::int64_t TrackLevels::windowCount() const {
    const std::lock_guard lock(m_mutex);
    return static_cast<std::int64_t>(m_levels.size());
}

} // namespace zorvel
