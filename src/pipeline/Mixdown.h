#pragma once

#include "support/Error.h"

#include <filesystem>
#include <vector>

namespace zorvel::Mixdown {

// Sums `wavs` at unity gain, clips to [-1, 1] and writes a 16-bit PCM file at `output` with the
// first input's rate and channels and as many frames as the longest input. Streams one second
// (16000 frames) at a time. Fails with noAudioFiles when there is nothing to mix, and with an
// error when an input's rate or channel count differs from the first one's.
Result<void> mix(const std::vector<std::filesystem::path>& wavs, const std::filesystem::path& output);

} // namespace zorvel::Mixdown
