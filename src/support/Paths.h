#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace zorvel::Paths {

// The recognition model: <application support>/Zorvel/models/ggml-large-v3-turbo.bin.
// Computed on every use; does not depend on whether the file exists.
std::filesystem::path modelURL();

// The voice-activity model shipped in the resource directory, only when the file is there.
std::optional<std::filesystem::path> vadModelURL();

// Where the model is downloaded from. ZORVEL_MODEL_URL replaces it (for users behind a mirror);
// read once, on first use.
const std::string& modelDownloadURL();

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
