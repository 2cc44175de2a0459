#include "recording/WallClockAlignment.h"

#include <algorithm>

namespace zorvel {

WallClockAlignment::Placement WallClockAlignment::place(double elapsed, std::int64_t framesInFile,
                                                        std::int64_t frames, bool afterGap) {
    const std::int64_t lag = framesAt(elapsed) - (framesInFile + frames);
    const std::int64_t steady = framesAt(m_steadyLag);
    Placement placement;
    if (afterGap) {
        m_learnedSum = 0;
        m_learnedCount = 0;
    }
    if (lag > steady + (afterGap ? 0 : framesAt(lagTolerance))) {
        placement.silenceBefore = lag - steady;
    } else if (steady - lag > framesAt(leadTolerance)) {
        placement.dropFromStart = std::min(frames, steady - lag);
    } else if (!afterGap && m_learnedCount < learningBuffers) {
        m_learnedSum += static_cast<double>(lag) / m_rate;
        if (++m_learnedCount == learningBuffers) {
            const double measured = m_learnedSum / learningBuffers;
            if (!m_steadyLagLearned) {
                m_steadyLag = std::max(0.0, measured);
                m_steadyLagLearned = true;
            } else {
                // The gap was filled against the first buffers of the new capture, which may come a
                // little later or earlier than its later ones do; even that out once.
                const std::int64_t difference = framesAt(measured) - steady;
                if (difference > 0)
                    placement.silenceBefore = difference;
                else
                    placement.dropFromStart = std::min(frames, -difference);
            }
        }
    }
    return placement;
}

std::int64_t WallClockAlignment::idleSilence(double elapsed, std::int64_t framesInFile) const {
    const std::int64_t lag = framesAt(elapsed) - framesInFile;
    if (lag <= framesAt(idleTolerance))
        return 0;
    return lag - framesAt(m_steadyLag + 2 * lagTolerance);
}

std::int64_t WallClockAlignment::finalSilence(double elapsed, std::int64_t framesInFile) const {
    return std::max<std::int64_t>(0, framesAt(elapsed) - framesInFile);
}

} // namespace zorvel
