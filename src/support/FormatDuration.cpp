#include "support/FormatDuration.h"

#include <algorithm>
#include <cstdio>

namespace zorvel {

std::string formatDuration(std::int64_t seconds) {
    // A clock moved backwards must not show a negative time.
    seconds = std::max<std::int64_t>(seconds, 0);
    char text[64];
    if (seconds < 3600) {
        const std::int64_t minutes = seconds / 60;
        std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(minutes),
                      static_cast<long long>(seconds - minutes * 60));
    } else {
        const std::int64_t hours = seconds / 3600;
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(hours),
                      static_cast<long long>((seconds - hours * 3600) / 60), static_cast<long long>(seconds % 60));
    }
    return text;
}

} // namespace zorvel
