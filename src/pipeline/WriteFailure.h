#pragma once

#include "support/Error.h"

#include <filesystem>
#include <string>

namespace zorvel {

// "Недостаточно места на диске: не удалось записать «<fileName>» в папку «<folder>»": the start of
// every message about a full disk in a recording folder.
std::string outOfSpaceText(const std::filesystem::path& folder, const std::string& fileName);

// A write into the recording folder that failed. When the disk has no room left (the error says
// so, or the file system shows it: a tool that ran into it only says so in its own words), the
// user is told that in plain words, with the folder and what to do; otherwise the error stays as
// it was.
Error explainWriteFailure(Error error, const std::filesystem::path& folder, const std::string& fileName);

// The same for a line of the log: outOfSpaceText() for a full disk, else the error's description.
std::string writeFailureReason(const Error& error, const std::filesystem::path& folder, const std::string& fileName);

} // namespace zorvel
