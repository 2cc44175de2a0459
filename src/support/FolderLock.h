#pragma once

#include <filesystem>

namespace zorvel {

// A recording and a transcription each hold an exclusive flock on ".zorvel.lock" inside the
// recording folder while they work on it.

// The lock file's name inside a recording folder.
inline constexpr const char* folderLockFileName = ".zorvel.lock";

// Whether another holder has the folder's lock right now. Probes with a non-blocking shared lock
// that is released at once; a folder without the lock file, or whose lock file cannot be opened,
// is not locked.
bool isFolderLocked(const std::filesystem::path& folder);

} // namespace zorvel
