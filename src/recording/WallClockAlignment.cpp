#include "recording/WallClockAlignment.h"

#include <algorithm>

namespace zorvel {

WallClockAlignment::Placement WallClockAlignment::place(double elapsed, std::int64_t framesInFile,
                                                        std::int64_t frames, bool afterGap) {
    const std::int64_t lag = framesAt(elapsed) - (framesInFile + frames);
    const std::int64_t steady = framesAt(m_steadyLag);
    Placement placement;
    if (lag > steady + (afterGap ? 0 : framesAt(lagTolerance))) {
        placement.silenceBefore = lag - steady;
    } else if (steady - lag > framesAt(leadTolerance)) {
        placement.dropFromStart = std::min(frames, steady - lag);
    } else if (!afterGap) {
        // Only ever downwards: a lag that grows is a slow device clock, which padding corrects.
        m_steadyLag = std::clamp(static_cast<double>(lag) / m_rate, 0.0, m_steadyLag);
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
