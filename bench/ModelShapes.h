#pragma once

#include "Report.h"

#include <filesystem>

namespace zorvel::bench {

// The recognition model's two offered files side by side: random-weight models of
// large-v3-turbo's real shape, in f16 as published and in q8_0 as whisper.cpp's quantizer makes
// it, each run `runs` times by the real whisper-cli on the same 30 s of speech-like audio. Writes
// the models (about 2.5 GB) into a folder of `work` and removes them afterwards.
Table modelsTable(const std::filesystem::path& work, int runs);

} // namespace zorvel::bench
