#pragma once

#include "support/Error.h"

#include <filesystem>
#include <string>
#include <string_view>

namespace zorvel {

// Writes `contents` so that a reader sees either the old file or the whole new one: into a
// temporary file in the same folder, flushed, then renamed over the target.
Result<void> writeFileAtomically(const std::filesystem::path& target, std::string_view contents);

// The whole file as bytes.
Result<std::string> readWholeFile(const std::filesystem::path& path);

// Writes all of `text` to a descriptor, retrying short and interrupted writes. False when a write
// failed (errno tells why); callers that print to standard output or error may ignore it.
bool writeToDescriptor(int fd, std::string_view text);

// Deletes a file, ignoring every failure (a missing file included).
void removeQuietly(const std::filesystem::path& path);

bool fileExists(const std::filesystem::path& path);

// "~" alone or followed by "/..." becomes the current user's home; "~name..." the home of that
// user (unchanged when there is no such user). Everything else is returned as it is.
std::string expandTilde(const std::string& path);

} // namespace zorvel
