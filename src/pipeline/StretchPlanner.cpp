#include "pipeline/StretchPlanner.h"

#include <algorithm>

namespace zorvel::StretchPlanner {

std::optional<std::int64_t> nextBoundary(std::span<const float> levels, std::int64_t start,
                                         std::int64_t minimumWindows) {
    constexpr std::int64_t half = minimumPauseWindows / 2;
    const auto count = static_cast<std::int64_t>(levels.size());
    // The earliest window a pause may begin at so that its middle is not before the minimum.
    const std::int64_t earliest = start + minimumWindows - half;
    constexpr std::int64_t none = -1;
    std::int64_t quietSince = none;
    for (std::int64_t window = std::max<std::int64_t>(start, 0); window < count; ++window) {
        if (!(levels[static_cast<std::size_t>(window)] < pauseLevel)) {
            quietSince = none;
            continue;
        }
        if (quietSince == none)
            quietSince = window;
        const std::int64_t pauseStart = std::max(quietSince, earliest);
        if (window - pauseStart + 1 >= minimumPauseWindows)
            return pauseStart + half;
    }
    return std::nullopt;
}

std::vector<std::int64_t> boundaries(std::span<const float> levels) {
    std::vector<std::int64_t> ends;
    std::int64_t start = 0;
    while (const auto end = nextBoundary(levels, start)) {
        ends.push_back(*end);
        start = *end;
    }
    return ends;
}

} // namespace zorvel::StretchPlanner
