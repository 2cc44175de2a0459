#pragma once

#include <filesystem>
#include <optional>
#include <vector>

// What the recordings root holds, as the tray application sees it: the recording folders in
// recording order, the newest one, those left without a transcript and the newest transcript.
// Every call lists the root afresh; nothing is cached.

namespace zorvel::RecordingFolders {

// The visible direct subfolders of the recordings root (no links, no hidden entries), sorted by
// the code-point order of their canonically composed names; empty when the root can't be listed.
std::vector<std::filesystem::path> all();

// The folder with the greatest name, leaving out `except`.
std::optional<std::filesystem::path> newest(const std::filesystem::path& except = {});

// Whether a folder still holds captures ("system.caf" or "mic.caf") but no "transcript.md".
bool isUnfinished(const std::filesystem::path& folder);

// The unfinished folders, oldest first, leaving out those in `busy` (being recorded or
// transcribed here) and those whose folder lock another process holds.
std::vector<std::filesystem::path> unfinished(const std::vector<std::filesystem::path>& busy = {});

// "transcript.md" of the newest folder that has one.
std::optional<std::filesystem::path> latestTranscript();

} // namespace zorvel::RecordingFolders
