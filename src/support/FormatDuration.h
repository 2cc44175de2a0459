#pragma once

#include <cstdint>
#include <string>

namespace zorvel {

// Clock text for elapsed whole seconds: "0:05", "59:59", "1:00:00", "25:00:00".
std::string formatDuration(std::int64_t seconds);

} // namespace zorvel
