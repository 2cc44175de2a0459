#pragma once

#include "pipeline/RecogniserCommand.h"
#include "pipeline/StretchStore.h"
#include "support/ChildProcess.h"
#include "support/Error.h"
#include "support/LogFile.h"

#include <filesystem>
#include <string>

namespace zorvel {

// Recognises frames [fromFrame, toFrame) of a capture, which may still be growing (its header is
// kept current): reads them back, converts them in-process to a 16 kHz mono 16-bit WAV in the
// recording's stretch store, runs the recogniser on it with `command`'s model, language, threads
// and voice-activity model, and returns the segments moved to the track's time. The work files
// go once they are read. `track` names them ("mic", "system").
Result<StoredStretch> recogniseStretch(const std::filesystem::path& recording, const std::string& track,
                                       const std::filesystem::path& capture, std::int64_t fromFrame,
                                       std::int64_t toFrame, const std::filesystem::path& whisper,
                                       RecogniserCommand command, LogFile& log, ChildCancel* cancel = nullptr);

} // namespace zorvel
