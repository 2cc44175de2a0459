#pragma once

#include "support/Error.h"

#include <filesystem>

namespace zorvel::ClockDrift {

// How fast the echo of the system track slides in time within the microphone track, in seconds
// per second (+2e-5: the echo arrives 20 µs later with every second). Microphones and speakers on
// different sound cards run on different clocks; within a recording the tracks then drift apart
// by tens of microseconds a second, which no adaptive echo canceller follows.
//
// Measured from the echo itself: the delay of the system track in the microphone (generalised
// cross-correlation with phase transform) in up to 24 stretches of 2 s spread over the recording,
// and the median slope between them. 0 when there is no echo to measure, too few stretches agree,
// the recording is too short to tell (under about half a minute), or the tracks are not 16 kHz
// mono. Reads both files once; memory does not depend on their length. Runs on its caller's
// thread.
Result<double> estimate(const std::filesystem::path& systemWAV, const std::filesystem::path& micWAV);

} // namespace zorvel::ClockDrift
