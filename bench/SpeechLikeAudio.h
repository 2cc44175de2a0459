#pragma once

#include "audio/AudioFile.h"
#include "support/Error.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace zorvel::bench {

// One utterance of a two-person conversation; speaker 0 is the system track, 1 the microphone.
struct Utterance {
    int speaker = 0;
    std::int64_t fromMs = 0;
    std::int64_t toMs = 0;
    std::string text;
};

// A deterministic conversation: who speaks when, in 10 ms steps as the recogniser reports them.
// The same seed gives the same conversation whatever the sample rate of the tracks made from it.
std::vector<Utterance> conversation(std::int64_t durationMs, std::uint32_t seed);

// Writes one speaker's track of `conversation`: low-passed noise shaped by syllable-rate
// envelopes (4 to 7 syllables a second, with short breaks) during that speaker's utterances,
// a faint noise floor everywhere else. Deterministic; streams one second at a time.
Result<void> writeTrack(const std::filesystem::path& path, AudioFormat format, std::int64_t durationMs,
                        const std::vector<Utterance>& conversation, int speaker, std::uint32_t seed);

// Writes a microphone track without headphones: `own` (the user's voice) plus `system` heard from
// the speakers, the direct sound `delayMs` late and `belowDb` below the system track, followed by
// five reflections within 60 ms. The microphone's clock runs `driftPpm` fast against the system
// track's, so the echo slides later by as much. Both inputs are 16 kHz mono files of the same
// length; streams.
Result<void> writeMicWithEcho(const std::filesystem::path& path, const std::filesystem::path& own,
                              const std::filesystem::path& system, std::int64_t delayMs, double belowDb,
                              double driftPpm);

// The recogniser double's side file for one speaker's track: one line per utterance, plus now
// and then a typical hallucination or a short reply placed where this track is silent, so that
// the segment filter has work to do.
std::string recognisedLines(const std::vector<Utterance>& conversation, int speaker);

} // namespace zorvel::bench
