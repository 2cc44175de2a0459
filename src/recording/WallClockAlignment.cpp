#include "recording/WallClockAlignment.h"

#include <algorithm>

namespace zorvel {

WallClockAlignment::Placement WallClockAlignment::place(double elapsed, std::int64_t framesInFile,
                                                        std::int64_t frames) const {
    const std::int64_t lag = framesAt(elapsed) - (framesInFile + frames);
    Placement placement;
    if (lag > framesAt(lagTolerance))
        placement.silenceBefore = lag - framesAt(typicalLag);
    else if (-lag > framesAt(leadTolerance))
        placement.dropFromStart = std::min(frames, -lag);
    return placement;
}

std::int64_t WallClockAlignment::idleSilence(double elapsed, std::int64_t framesInFile) const {
    const std::int64_t lag = framesAt(elapsed) - framesInFile;
    return lag > framesAt(idleTolerance) ? lag - framesAt(typicalLag) : 0;
}

std::int64_t WallClockAlignment::finalSilence(double elapsed, std::int64_t framesInFile) const {
    return std::max<std::int64_t>(0, framesAt(elapsed) - framesInFile);
}

} // namespace zorvel
