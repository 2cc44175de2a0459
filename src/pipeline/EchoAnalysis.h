#pragma once

#include "pipeline/TranscriptSegment.h"
#include "support/Error.h"
#include "support/LogFile.h"

#include <cstdint>
#include <filesystem>
#include <vector>

namespace zorvel {

// Tells which microphone utterances are the other side's voice coming back from the speakers.
//
// The system track's work WAV is the far-end reference. An adaptive echo canceller (speexdsp's
// multidelay block filter, the one PulseAudio's echo-cancel module offers) learns the path from
// the speakers into the microphone and subtracts its estimate of the echo. When the two tracks
// come from sound cards with different clocks, the reference is first stretched by their drift
// (ClockDrift), which the canceller could not follow. An utterance counts as echo when the system
// track sounded under it and almost none of its microphone energy is left after the subtraction.
// The user's own speech, alone or over the other side (double talk), keeps most of its energy and
// is kept. Text is never compared, and the recogniser still hears the original microphone audio:
// only the decision about each utterance comes from here.
//
// Both files are streamed one second at a time (after a warm-up over their first stretch of
// far-end sound), so memory does not grow with the recording's length; only the per-utterance
// results do. Runs on its caller's thread and shares no state.
namespace EchoAnalysis {

// One microphone utterance, in milliseconds from the start of the tracks.
struct Span {
    std::int64_t fromMs = 0;
    std::int64_t toMs = 0;
};

// What the analysis found under one microphone utterance.
struct Measurement {
    // RMS of the system track (full scale 1.0) over the utterance, widened at its start by the
    // longest echo delay the canceller covers.
    float systemLevel = 0.0F;
    // The microphone energy left once the echo estimate is removed, as a share of the microphone
    // energy: about 1 for the user's own speech, near 0 for a pure echo.
    float residualShare = 1.0F;
    bool isEcho = false;
};

// Measures every span; the result has one element per span, in the same order. Both files must
// be 16 kHz mono work WAVs; they may differ in length (the shorter counts as silent beyond its end).
Result<std::vector<Measurement>> measure(const std::filesystem::path& systemWAV,
                                         const std::filesystem::path& micWAV,
                                         const std::vector<Span>& utterances);

// Removes from `micSegments` every utterance that measures as echo, with one log line each. When
// the measurement fails, nothing is removed and the log says why.
void dropEchoes(const std::filesystem::path& systemWAV, const std::filesystem::path& micWAV,
                std::vector<TranscriptSegment>& micSegments, LogFile& log);

} // namespace EchoAnalysis

} // namespace zorvel
