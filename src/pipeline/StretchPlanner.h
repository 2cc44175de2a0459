#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace zorvel {

// Cuts a growing track into stretches that the recogniser can take one by one while the rest is
// still being recorded. A stretch ends in the middle of a pause, so that no utterance is split
// between two recogniser runs, and only after enough audio for the recogniser to have context.
// Works on the track's loudness: one linear RMS level per 10 ms window, as the track writer
// measures it while it writes.
namespace StretchPlanner {

constexpr int windowMs = 10;
// A stretch holds at least this much audio before it may end.
constexpr std::int64_t minimumStretchWindows = 60 * 1000 / windowMs;
// When the recogniser would otherwise sit idle, a stretch of half that much is taken rather than
// left for the stop: it is the recogniser's own window, and what a stop then still has to
// recognise shrinks to about that per track.
constexpr std::int64_t idleStretchWindows = 30 * 1000 / windowMs;
// A pause is at least this long; the cut falls in its middle, so that each side keeps half of it.
constexpr std::int64_t minimumPauseWindows = 500 / windowMs;
// Windows below this level count as pause: the level below which the segment filter takes an
// utterance for one placed on silence.
constexpr float pauseLevel = 0.003F;

// Where the stretch that begins at window `start` ends (exclusive, in windows), judged from the
// levels measured so far; nothing while it can't end yet. The cut has at least half a pause of
// quiet windows on each side, and at least `minimumWindows` of audio before it.
std::optional<std::int64_t> nextBoundary(std::span<const float> levels, std::int64_t start,
                                         std::int64_t minimumWindows = minimumStretchWindows);

// Every boundary the levels give, in order, from the track's start.
std::vector<std::int64_t> boundaries(std::span<const float> levels);

} // namespace StretchPlanner
} // namespace zorvel
