#pragma once

#include <filesystem>
#include <optional>

// The program's well-known locations; those of the models are in model/ModelPaths.h.
namespace zorvel::Paths {

// The application's resource directory: $ZORVEL_RESOURCE_DIR when set, else <prefix>/share/zorvel
// next to the installed executable, when that folder exists.
std::optional<std::filesystem::path> resourceDirectory();

// The per-user application-support directory (XDG data home on Linux).
std::filesystem::path applicationSupportDirectory();

// "Zorvel" in the user's documents directory: one subfolder per recording.
std::filesystem::path recordingsRoot();

// The user's home directory.
std::filesystem::path homeDirectory();

} // namespace zorvel::Paths
