#pragma once

#include "support/Error.h"

#include <filesystem>
#include <string>
#include <string_view>

namespace zorvel {

// Writes `contents` so that a reader sees either the old file or the whole new one, also after a
// crash: into a temporary file in the same folder, flushed to the disk, renamed over the target,
// and the folder flushed too.
Result<void> writeFileAtomically(const std::filesystem::path& target, std::string_view contents);

// The whole file as bytes.
Result<std::string> readWholeFile(const std::filesystem::path& path);

// Deletes a file, ignoring every failure (a missing file included).
void removeQuietly(const std::filesystem::path& path);

bool fileExists(const std::filesystem::path& path);

// "~" alone or followed by "/..." becomes the current user's home; "~name..." the home of that
// user (unchanged when there is no such user). Everything else is returned as it is.
std::string expandTilde(const std::string& path);

} // namespace zorvel
