#pragma once

#include "support/Error.h"
#include "support/FileDescriptor.h"

#include <filesystem>
#include <string>
#include <string_view>

namespace zorvel {

// How writeFileAtomically names its temporary file: uniquely, or the target's name, hidden, +
// ".part" for a writer that owns the folder (FolderLock), so that what a killed run left behind is
// simply replaced by the next run.
enum class TemporaryName { unique, fixed };

// Writes `contents` so that a reader sees either the old file or the whole new one, also after a
// crash: into a temporary file in the same folder (created anew, never through a link), flushed to
// the disk, renamed over the target, and the folder flushed too. Fails when any of it failed.
Result<void> writeFileAtomically(const std::filesystem::path& target, std::string_view contents,
                                 TemporaryName temporaryName = TemporaryName::unique);

// Removes whatever is at `path` (a file, a link, a pipe; not a folder), then creates a new empty
// file there for `accessMode` (O_WRONLY or O_RDWR): exclusively and never through a link, so that
// a link planted under that name can't make us write somewhere else.
Result<FileDescriptor> createFileReplacing(const std::filesystem::path& path, int accessMode,
                                           std::string_view failureAction);

// Deletes a file; a missing one counts as deleted. Fails with "<failureAction> «<path>»: <strerror>".
Result<void> removeFile(const std::filesystem::path& path, std::string_view failureAction);

// Whether the file system that holds `path` has (almost) no room left: what a tool that failed
// while writing there most likely ran into.
bool isOutOfSpace(const std::filesystem::path& path);

// The whole file as bytes.
Result<std::string> readWholeFile(const std::filesystem::path& path);

// Deletes a file, ignoring every failure (a missing file included).
void removeQuietly(const std::filesystem::path& path);

bool fileExists(const std::filesystem::path& path);

// "~" alone or followed by "/..." becomes the current user's home; "~name..." the home of that
// user (unchanged when there is no such user). Everything else is returned as it is.
std::string expandTilde(const std::string& path);

} // namespace zorvel
