#include "audio/TrackLevels.h"
#include "pipeline/StretchPlanner.h"

#include <atomic>
#include <gtest/gtest.h>
#include <random>
#include <thread>

namespace zorvel {
namespace {

namespace Plan = StretchPlanner;

// A speech-like envelope: utterances of 0.3 to 12 s at speech level with background noise just
// under the pause level between them, pauses of 0.1 to 2 s; `windows` long.
std::vector<float> conversation(std::int64_t windows, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> utterance(30, 1200);
    std::uniform_int_distribution<int> pause(10, 200);
    std::uniform_real_distribution<float> loud(0.01F, 0.3F);
    std::vector<float> levels;
    while (static_cast<std::int64_t>(levels.size()) < windows) {
        for (int i = utterance(random); i > 0; --i)
            levels.push_back(loud(random));
        for (int i = pause(random); i > 0; --i)
            levels.push_back(Plan::pauseLevel * 0.9F);
    }
    levels.resize(static_cast<std::size_t>(windows));
    return levels;
}

bool quiet(const std::vector<float>& levels, std::int64_t from, std::int64_t to) {
    for (auto window = from; window < to; ++window)
        if (!(levels.at(static_cast<std::size_t>(window)) < Plan::pauseLevel))
            return false;
    return true;
}

TEST(StretchPlanner, CutsFallInTheMiddleOfPausesAfterTheirMinimumAndAsEarlyAsThatAllows) {
    for (const auto minimum : {Plan::minimumStretchWindows, Plan::idleStretchWindows}) {
        for (std::uint32_t seed = 1; seed <= 20; ++seed) {
            const auto levels = conversation(30 * 60 * 100, seed);
            std::vector<std::int64_t> ends;
            while (const auto end = Plan::nextBoundary(levels, ends.empty() ? 0 : ends.back(), minimum))
                ends.push_back(*end);
            if (minimum == Plan::minimumStretchWindows) {
                EXPECT_EQ(ends, Plan::boundaries(levels));
            }
            ASSERT_GE(ends.size(), 10U) << "seed " << seed;
            std::int64_t start = 0;
            constexpr auto half = Plan::minimumPauseWindows / 2;
            for (const auto end : ends) {
                EXPECT_GE(end - start, minimum) << "seed " << seed;
                // Half a pause of quiet on either side of the cut: no utterance is split.
                EXPECT_TRUE(quiet(levels, end - half, end + half)) << "seed " << seed << " cut " << end;
                // No earlier cut would have had that.
                for (auto earlier = start + minimum; earlier < end; ++earlier)
                    ASSERT_FALSE(quiet(levels, earlier - half, earlier + half)) << "seed " << seed << " at " << earlier;
                start = end;
            }
        }
    }
}

TEST(StretchPlanner, AGrowingTrackGetsTheCutsOfTheWholeOneAndNoneBeforeThePauseIsHalfASecond) {
    const auto levels = conversation(10 * 60 * 100, 7);
    const auto whole = Plan::boundaries(levels);
    std::vector<std::int64_t> grown;
    std::int64_t start = 0;
    // Measured levels arrive a tenth of a second at a time.
    for (std::size_t known = 0; known <= levels.size(); known += 10) {
        const std::span<const float> sofar(levels.data(), known);
        while (const auto end = Plan::nextBoundary(sofar, start)) {
            // The whole pause that the cut needs is already measured.
            EXPECT_LE(*end + Plan::minimumPauseWindows / 2, static_cast<std::int64_t>(known));
            grown.push_back(*end);
            start = *end;
        }
    }
    EXPECT_EQ(grown, std::vector<std::int64_t>(whole.begin(), whole.end()));
}

TEST(StretchPlanner, NoCutInUnbrokenSoundOrInPausesTooShortOrAtThePauseLevel) {
    std::vector<float> levels(20 * 60 * 100, 0.05F);
    EXPECT_TRUE(Plan::boundaries(levels).empty());
    // Pauses one window short of half a second, every ten seconds.
    for (std::size_t at = 1000; at + 100 < levels.size(); at += 1000)
        std::fill_n(levels.begin() + static_cast<std::ptrdiff_t>(at), Plan::minimumPauseWindows - 1, 0.0F);
    EXPECT_TRUE(Plan::boundaries(levels).empty());
    // A pause exactly at the pause level is not quiet.
    std::fill(levels.begin() + 7000, levels.begin() + 7100, Plan::pauseLevel);
    EXPECT_TRUE(Plan::boundaries(levels).empty());
    // A long pause that began before the minute is cut half a pause after the minute.
    std::fill(levels.begin() + 5900, levels.begin() + 6300, 0.0F);
    EXPECT_EQ(Plan::boundaries(levels), (std::vector<std::int64_t>{Plan::minimumStretchWindows}));
}

TEST(TrackLevels, MeasuresWholeWindowsOverAllChannelsAcrossWritesAndSilence) {
    TrackLevels levels(48000);
    ASSERT_EQ(levels.framesPerWindow(), 480);
    // 1.5 windows of stereo at ±0.5, then half a window of silence, then a window in odd pieces.
    std::vector<float> loud(720 * 2, 0.5F);
    for (std::size_t i = 1; i < loud.size(); i += 2)
        loud[i] = -0.5F;
    levels.add(loud.data(), 2, 720);
    EXPECT_EQ(levels.windowCount(), 1);
    levels.addSilence(240);
    std::vector<float> piece(100 * 2, 0.25F);
    for (int i = 0; i < 4; ++i)
        levels.add(piece.data(), 2, 100);
    EXPECT_EQ(levels.windowCount(), 2);
    levels.add(piece.data(), 2, 80);
    const auto measured = levels.since(0);
    ASSERT_EQ(measured.size(), 3U);
    EXPECT_FLOAT_EQ(measured[0], 0.5F);
    EXPECT_FLOAT_EQ(measured[1], 0.5F / std::sqrt(2.0F));
    EXPECT_FLOAT_EQ(measured[2], 0.25F);
    EXPECT_EQ(levels.since(2).size(), 1U);
    EXPECT_TRUE(levels.since(5).empty());
}

// The capture thread writes while the background reads: a reader sees every level written so far,
// in order, across the blocks the levels are kept in (run under the sanitizers too).
TEST(TrackLevels, AReaderWhileTheWriterGoesOnSeesAWholeGrowingPrefix) {
    TrackLevels levels(100); // one frame a window
    constexpr int total = 3 * 4096 + 17;
    std::atomic<bool> done = false;
    std::thread writer([&] {
        for (int i = 0; i < total; ++i) {
            const float value = static_cast<float>(i % 1000) / 1000.0F;
            levels.add(&value, 1, 1);
        }
        done = true;
    });
    std::size_t longest = 0;
    bool ordered = true;
    for (bool last = false; !last;) {
        last = done;
        const auto from = static_cast<std::int64_t>(longest / 2);
        const auto seen = levels.since(from);
        for (std::size_t i = 0; i < seen.size(); ++i)
            ordered = ordered && seen[i] == static_cast<float>((static_cast<std::size_t>(from) + i) % 1000) / 1000.0F;
        longest = std::max(longest, static_cast<std::size_t>(from) + seen.size());
    }
    writer.join();
    EXPECT_TRUE(ordered);
    EXPECT_EQ(longest, static_cast<std::size_t>(total));
    EXPECT_EQ(levels.windowCount(), total);
    EXPECT_EQ(levels.since(4090).size(), static_cast<std::size_t>(total - 4090));
}

} // namespace
} // namespace zorvel
