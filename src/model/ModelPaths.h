#pragma once

#include <filesystem>
#include <optional>
#include <string>

// The well-known locations of the models; the rest of Paths is in support/Paths.h.
namespace zorvel::Paths {

// The recognition model: <application support>/Zorvel/models/ggml-large-v3-turbo.bin.
// Computed on every use; does not depend on whether the file exists.
std::filesystem::path modelURL();

// The voice-activity model shipped in the resource directory, only when the file is there.
std::optional<std::filesystem::path> vadModelURL();

// Where the model is downloaded from. ZORVEL_MODEL_URL replaces it (for users behind a mirror);
// read once, on first use.
const std::string& modelDownloadURL();

} // namespace zorvel::Paths
