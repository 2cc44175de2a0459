#pragma once

#include <chrono>
#include <filesystem>
#include <optional>

namespace zorvel {

// When the file system says the entry was created (its birth time), where it records one.
std::optional<std::chrono::system_clock::time_point> creationTime(const std::filesystem::path& path);

} // namespace zorvel
