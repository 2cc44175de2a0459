#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// The well-known locations of the models; the rest of Paths is in support/Paths.h.
namespace zorvel::Paths {

// The recognition model when the settings choose none. The documented alternative for slow
// machines is its 8-bit quantisation "ggml-large-v3-turbo-q8_0.bin" from the same repository,
// about half the size.
inline constexpr const char* defaultModelName = "ggml-large-v3-turbo.bin";

// The file name the "recognitionModel" setting names, or the default when none is stored or the
// stored one is refused. Any plain ".bin" file name is taken; one that could lead out of the
// models folder (a separator, a leading dot, control characters), that names a voice-activity
// model, or that is empty or too long is refused. Read afresh on every call.
std::string modelName();

// The stored "recognitionModel" value that modelName() refused, for the log; nothing when none
// is stored or the stored one is taken. Control characters are shown as '?'.
std::optional<std::string> refusedModelName();

// The recognition model: <application support>/Zorvel/models/<modelName()>.
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

// Where the model is downloaded from: the model hub's address of modelName(). ZORVEL_MODEL_URL
// replaces it (for users behind a mirror); when it ends in "/" it names a folder that mirrors the
// hub's, and modelName() is added to it. Computed on every call, as the setting may change.
std::string modelDownloadURL();

// The SHA-1 that the model hub publishes for the default model at its address, in lower-case hex;
// nothing for another model (the hub's listing gives none for it) or when ZORVEL_MODEL_URL names
// another address. A download without one is checked by the model's layout.
std::optional<std::string> modelDownloadSHA1();

// Where the voice-activity model is downloaded from. ZORVEL_VAD_MODEL_URL replaces it; read once.
const std::string& vadModelDownloadURL();

} // namespace zorvel::Paths
