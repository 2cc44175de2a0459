#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// The well-known locations of the models; the rest of Paths is in support/Paths.h.
namespace zorvel::Paths {

// The recognition model: <application support>/Zorvel/models/ggml-large-v3-turbo.bin.
// Computed on every use; does not depend on whether the file exists.
std::filesystem::path modelURL();

// Where a voice-activity model may be, in the order they are tried: the newest version first
// (v6.2.0 under its own name "ggml-silero-v6.2.0.bin", then the original "ggml-silero-v5.1.2.bin")
// and, for each, the resource directory's "models" before the per-user models folder.
std::vector<std::filesystem::path> vadModelCandidates();

// The first candidate that holds a whole voice-activity model, computed on every use. A damaged
// one is passed over and handed to `passedOver` with the reason.
using PassedOverModel = std::function<void(const std::filesystem::path& model, const std::string& reason)>;
std::optional<std::filesystem::path> vadModelURL(const PassedOverModel& passedOver = {});

// Where the model download puts the voice-activity model: beside the recognition model.
std::filesystem::path downloadedVadModelURL();

// Where the model is downloaded from. ZORVEL_MODEL_URL replaces it (for users behind a mirror);
// read once, on first use.
const std::string& modelDownloadURL();

// The SHA-1 that the model hub publishes for the model at the default address, in lower-case hex;
// nothing when ZORVEL_MODEL_URL names another address.
std::optional<std::string> modelDownloadSHA1();

// Where the voice-activity model is downloaded from. ZORVEL_VAD_MODEL_URL replaces it; read once.
const std::string& vadModelDownloadURL();

} // namespace zorvel::Paths
