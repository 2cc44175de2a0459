// Where captured audio lands in a track file: the placement arithmetic, and the writer that
// follows it, fed as the sound server feeds it (frames with positions, timing reports, pauses).
#include "recording/TrackPlacement.h"
#include "recording/TrackWriter.h"
#include "support/TestAudio.h"
#include "support/TestEnvironment.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <thread>

using namespace zorvel;
using namespace zorvel::test;
using namespace std::chrono_literals;

// --- Placement ----------------------------------------------------------------------------------

TEST(TrackPlacement, PlacesARunWhereItsEarliestReportPutsIt) {
    TrackPlacement placement(1000);
    placement.beginRun(0, 1000);
    EXPECT_FALSE(placement.isPlaced());
    // Frame 100 captured at 1.15 s puts the run's start at 1.05 s; frame 200 at 1.21 s, at 1.01 s.
    EXPECT_EQ(placement.report(100, 1.15), 0);
    EXPECT_EQ(placement.report(200, 1.21), 0);
    EXPECT_EQ(placement.place(500), 510); // silence up to 1.01 s
    EXPECT_TRUE(placement.isPlaced());

    // A run that starts before the end of what the file holds loses the overlap from its start.
    TrackPlacement overlapping(1000);
    overlapping.beginRun(0, 1000);
    overlapping.report(100, 1.15);
    EXPECT_EQ(overlapping.place(1200), -150);

    // Positions count device frames: at 2000 frames a second, frame 2000 is one second in.
    TrackPlacement converted(1000);
    converted.beginRun(0, 2000);
    converted.report(2000, 2.0);
    EXPECT_EQ(converted.place(0), 1000);
}

TEST(TrackPlacement, AReportOnNoFrameOfTheRunSaysNothing) {
    // After a resume the server may report its position before the device delivered anything new:
    // that only bounds when the run will start.
    TrackPlacement placement(1000);
    placement.beginRun(500, 1000);
    EXPECT_EQ(placement.report(500, 9.0), 0);
    EXPECT_EQ(placement.report(400, 9.0), 0);
    EXPECT_FALSE(placement.shouldPlace(999));
    EXPECT_TRUE(placement.shouldPlace(1000));
    EXPECT_EQ(placement.place(300), 0); // without a report it follows on
}

TEST(TrackPlacement, PlacesOnceSettledOrHoldingEnoughAudio) {
    TrackPlacement placement(1000);
    placement.beginRun(0, 1000);
    EXPECT_FALSE(placement.shouldPlace(999)); // no report yet: wait up to a second
    placement.report(10, 0.02);
    EXPECT_FALSE(placement.shouldPlace(249));
    EXPECT_TRUE(placement.shouldPlace(250)); // one report and a quarter second held
    for (std::size_t i = 2; i < TrackPlacement::settlingReports; ++i)
        placement.report(static_cast<std::int64_t>(10 * i), 0.01 * static_cast<double>(i + 1));
    EXPECT_FALSE(placement.shouldPlace(0));
    placement.report(1000, 1.01);
    EXPECT_TRUE(placement.shouldPlace(0)); // settled
    placement.place(0);
    EXPECT_FALSE(placement.shouldPlace(5000));
}

TEST(TrackPlacement, LateReportsNeverMoveAPlacedRun) {
    TrackPlacement placement(1000);
    placement.beginRun(0, 1000);
    placement.report(100, 0.1);
    placement.place(0);
    // A busy server answers up to a third of a second late, now and then; each on-time report in
    // between shows that the run is where it belongs.
    const double lateness[] = {0.3, 0.3, 0.3, 0.0, 0.3, 0.3, 0.3, 0.01, 0.019, 0.3, 0.3, -0.007, 0.3};
    std::int64_t position = 100;
    for (const double late : lateness) {
        position += 1500;
        EXPECT_EQ(placement.report(position, static_cast<double>(position) / 1000 + late), 0) << position;
    }
}

TEST(TrackPlacement, FourAgreeingReportsMoveTheRunByTheSmallestDifference) {
    // Reports a second apart that put the run `by` seconds from where it was placed.
    std::int64_t position = 100;
    const auto reportOff = [&](TrackPlacement& placement, double by) {
        position += 1000;
        return placement.report(position, static_cast<double>(position) / 1000 + by);
    };

    // A slow device clock, or audio the server lost without saying so: the run is written too early.
    TrackPlacement slow(1000);
    slow.beginRun(0, 1000);
    slow.report(100, 0.1);
    slow.place(0);
    for (const double by : {0.05, 0.06, 0.052})
        EXPECT_EQ(reportOff(slow, by), 0);
    EXPECT_EQ(reportOff(slow, 0.07), 50);
    // Where it is now, the same reports agree with it.
    for (const double by : {0.05, 0.06, 0.052, 0.07, 0.065})
        EXPECT_EQ(reportOff(slow, by), 0);

    // A fast device clock: the run is written too late and loses the surplus.
    TrackPlacement fast(1000);
    fast.beginRun(0, 1000);
    fast.report(100, 0.1);
    fast.place(0);
    position = 100;
    for (const double by : {-0.03, -0.025, -0.04})
        EXPECT_EQ(reportOff(fast, by), 0);
    EXPECT_EQ(reportOff(fast, -0.021), -21);

    // Early reports are trusted from 8 ms on, late ones from 20 ms: a fast clock is caught sooner.
    TrackPlacement near(1000);
    near.beginRun(0, 1000);
    near.report(100, 0.1);
    near.place(0);
    position = 100;
    for (const double by : {0.015, 0.019, 0.017, 0.016, -0.009, -0.01, -0.012})
        EXPECT_EQ(reportOff(near, by), 0);
    EXPECT_EQ(reportOff(near, -0.0095), -9);
}

// --- Writer -------------------------------------------------------------------------------------

namespace {

constexpr AudioFormat milliFormat{1000, 1, SampleFormat::float32};

class TrackWriting : public testing::Test {
protected:
    void SetUp() override {
        origin = std::chrono::steady_clock::now();
        auto created = TrackWriter::create(folder / "track.caf", milliFormat, origin);
        ASSERT_TRUE(created.has_value());
        writer = std::move(*created);
    }
    SteadyTime at(double seconds) const {
        return origin + std::chrono::duration_cast<SteadyTime::duration>(std::chrono::duration<double>(seconds));
    }
    std::vector<float> finish() {
        writer->finish();
        return readAudio(folder / "track.caf");
    }
    static void deliver(const CaptureCallbacks& callbacks, const std::vector<float>& samples, std::int64_t position,
                        std::int64_t from, std::int64_t count) {
        callbacks.onFrames({position, count, samples.data() + from});
    }

    TemporaryFolder folder{"track"};
    SteadyTime origin;
    std::unique_ptr<TrackWriter> writer;
};

std::vector<float> concat(std::initializer_list<std::vector<float>> parts) {
    std::vector<float> all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

std::vector<float> slice(const std::vector<float>& samples, std::size_t from, std::size_t count) {
    const auto begin = samples.begin() + static_cast<std::ptrdiff_t>(from);
    return {begin, begin + static_cast<std::ptrdiff_t>(count)};
}

std::vector<float> zeros(std::size_t count) { return std::vector<float>(count, 0.0F); }

} // namespace

// The fault this pins: audio was placed by when it reached the writer, so a client thread held up
// by a busy CPU got silence written into continuous sound, and a backlog lost audio.
TEST_F(TrackWriting, ABacklogThatArrivesLateIsWrittenWithoutAGapWhereTheServerSaysItBelongs) {
    const auto sound = noise(500, 1, 0.5F, 3);
    const CaptureCallbacks callbacks = writer->beginCapture(milliFormat);
    for (int i = 0; i < 10; ++i)
        deliver(callbacks, sound, 20 * i, 20 * i, 20);
    callbacks.onTiming({100, at(0.4)});
    std::this_thread::sleep_for(350ms); // the client thread stalls
    deliver(callbacks, sound, 200, 200, 300);
    callbacks.onTiming({500, at(0.8)});
    EXPECT_EQ(finish(), concat({zeros(300), sound}));
}

TEST_F(TrackWriting, APausedDeviceStartsAgainAtItsOwnTimeAndThePauseBecomesSilence) {
    const auto before = noise(100, 1, 0.5F, 4);
    const auto after = noise(100, 1, 0.5F, 5);
    const CaptureCallbacks callbacks = writer->beginCapture(milliFormat);
    deliver(callbacks, before, 0, 0, 100);
    callbacks.onTiming({50, at(0.55)});
    // Suspended for 0.7 s: the positions go on at 100 as if nothing had happened.
    callbacks.onPaused(100);
    callbacks.onTiming({100, at(0.6)}); // about nothing new yet
    deliver(callbacks, after, 100, 0, 100);
    callbacks.onTiming({150, at(1.35)});
    EXPECT_EQ(finish(), concat({zeros(500), before, zeros(700), after}));
}

TEST_F(TrackWriting, APauseThatTheTimingDoesNotShowLeavesNoSeam) {
    // A busy server stood still and then caught up: the frames after the pause were captured right
    // after those before it, give or take a report's inaccuracy.
    const auto sound = noise(400, 1, 0.5F, 13);
    const CaptureCallbacks callbacks = writer->beginCapture(milliFormat);
    callbacks.onTiming({10, at(0.01)});
    deliver(callbacks, sound, 0, 0, 300);
    callbacks.onPaused(300);
    deliver(callbacks, sound, 300, 300, 100);
    callbacks.onTiming({350, at(0.362)}); // 12 ms late
    EXPECT_EQ(finish(), sound);
}

TEST_F(TrackWriting, APauseBeforeTheFirstFrameLeavesTheCaptureToItsOwnTiming) {
    // A device slow to deliver its first frame: its place is still exact, not where the file ends.
    const auto sound = noise(300, 1, 0.5F, 15);
    const CaptureCallbacks callbacks = writer->beginCapture(milliFormat);
    callbacks.onPaused(0);
    deliver(callbacks, sound, 0, 0, 300);
    callbacks.onTiming({100, at(0.115)});
    EXPECT_EQ(finish(), concat({zeros(15), sound}));
}

TEST_F(TrackWriting, FramesBeforeAPauseThatArriveAfterItStayWithTheRunBeforeIt) {
    // The server can tell of a pause at its write index while frames up to it are still on their
    // way; one buffer may hold frames from both sides.
    const auto sound = noise(400, 1, 0.5F, 14);
    const CaptureCallbacks callbacks = writer->beginCapture(milliFormat);
    callbacks.onTiming({10, at(0.01)});
    deliver(callbacks, sound, 0, 0, 250);
    callbacks.onPaused(300);
    deliver(callbacks, sound, 250, 250, 100); // 50 before the pause, 50 after
    deliver(callbacks, sound, 350, 350, 50);
    callbacks.onTiming({360, at(0.56)}); // the pause lasted 0.2 s
    EXPECT_EQ(finish(), concat({slice(sound, 0, 300), zeros(200), slice(sound, 300, 100)}));
}

TEST_F(TrackWriting, LostAudioThatTheTimingShowsIsFilledWhereTheWriterIs) {
    const auto sound = noise(400, 1, 0.5F, 6);
    const CaptureCallbacks callbacks = writer->beginCapture(milliFormat);
    callbacks.onTiming({10, at(0.01)});
    deliver(callbacks, sound, 0, 0, 300);
    // From now on the server says every frame came 50 ms later than the positions tell.
    for (const std::int64_t position : {310, 320, 330, 340})
        callbacks.onTiming({position, at(static_cast<double>(position) / 1000 + 0.05)});
    deliver(callbacks, sound, 300, 300, 100);
    EXPECT_EQ(finish(), concat({slice(sound, 0, 300), zeros(50), slice(sound, 300, 100)}));
}

TEST_F(TrackWriting, ANewCaptureFillsTheMissingTimeExactlyAndLosesWhatOverlaps) {
    const auto first = noise(200, 1, 0.5F, 7);
    const auto second = noise(200, 1, 0.5F, 8);
    const auto third = noise(100, 1, 0.5F, 9);
    CaptureCallbacks callbacks = writer->beginCapture(milliFormat);
    callbacks.onTiming({100, at(0.2)});
    deliver(callbacks, first, 0, 0, 200); // 0.1 s to 0.3 s
    writer->endCapture();
    callbacks = writer->beginCapture(milliFormat);
    deliver(callbacks, second, 0, 0, 200);
    callbacks.onTiming({50, at(0.4)}); // starts at 0.35 s
    writer->endCapture();
    callbacks = writer->beginCapture(milliFormat);
    callbacks.onTiming({30, at(0.56)}); // starts at 0.53 s, before the second one ended
    deliver(callbacks, third, 0, 0, 100);
    writer->endCapture();
    EXPECT_EQ(finish(), concat({zeros(100), first, zeros(50), second, slice(third, 20, 80)}));
}

TEST_F(TrackWriting, MissingFramesBecomeSilenceOfTheirLength) {
    const auto sound = noise(300, 1, 0.5F, 10);
    const CaptureCallbacks callbacks = writer->beginCapture(milliFormat);
    callbacks.onTiming({10, at(0.01)});
    deliver(callbacks, sound, 0, 0, 100);
    callbacks.onFrames({100, 30, nullptr}); // a hole
    deliver(callbacks, sound, 130, 100, 100);
    deliver(callbacks, sound, 250, 200, 100); // a jump in the positions
    EXPECT_EQ(finish(), concat({slice(sound, 0, 100), zeros(30), slice(sound, 100, 100), zeros(20), slice(sound, 200, 100)}));
    // Told apart from what the writer does to keep time.
    EXPECT_EQ(writer->corrections()->missingFrames, 50);
    EXPECT_EQ(writer->corrections()->silenceFrames, 0);
    EXPECT_EQ(writer->corrections()->droppedFrames, 0);
}

TEST_F(TrackWriting, AConvertedCaptureKeepsAllItsAudioUpToItsLastFrame) {
    // 44.1 kHz stereo 16-bit into 48 kHz mono float: the resampler's tail is written when the
    // capture ends, so the run is as long as its input, converted.
    writer.reset();
    auto created = TrackWriter::create(folder / "converted.caf", {48000, 1, SampleFormat::float32}, origin);
    ASSERT_TRUE(created.has_value());
    const AudioFormat device{44100, 2, SampleFormat::int16};
    std::vector<std::int16_t> samples(4410 * 2, 8000);
    const CaptureCallbacks callbacks = (*created)->beginCapture(device);
    callbacks.onTiming({4410, at(0.2)}); // starts at 0.1 s
    for (int i = 0; i < 10; ++i)
        callbacks.onFrames({4410 * i, 4410, samples.data()});
    (*created)->endCapture();
    (*created)->finish();
    const auto written = readAudio(folder / "converted.caf");
    ASSERT_GE(written.size(), 4800U + 48000U - 1);
    EXPECT_LE(written.size(), 4800U + 48000U + 1);
    EXPECT_EQ(written[4799], 0.0F);
    EXPECT_NEAR(written[4800 + 24000], 8000.0F / 32768, 1e-3);
    EXPECT_NEAR(written[written.size() - 200], 8000.0F / 32768, 1e-2);
}

// The fault this pins: the resampler's hold of the audio before a pause (up to 20 ms) was written
// after the new run had been placed, so every converted run after a pause landed that much late.
TEST_F(TrackWriting, AConvertedRunAfterAPauseStartsWhereItsTimingSays) {
    writer.reset();
    auto created = TrackWriter::create(folder / "converted.caf", {48000, 1, SampleFormat::float32}, origin);
    ASSERT_TRUE(created.has_value());
    const AudioFormat device{44100, 2, SampleFormat::int16};
    const std::vector<std::int16_t> before(441 * 2, 8000), after(441 * 2, -16000);
    const CaptureCallbacks callbacks = (*created)->beginCapture(device);
    callbacks.onTiming({4410, at(0.1)}); // starts at 0
    for (std::int64_t i = 0; i < 50; ++i) // half a second, in 10 ms buffers as a sound server delivers them
        callbacks.onFrames({441 * i, 441, before.data()});
    callbacks.onPaused(22050);
    for (std::int64_t i = 0; i < 50; ++i)
        callbacks.onFrames({22050 + 441 * i, 441, after.data()});
    callbacks.onTiming({22050 + 4410, at(1.6)}); // goes on at 1.5 s
    (*created)->endCapture();
    (*created)->finish();
    const auto written = readAudio(folder / "converted.caf");
    ASSERT_GE(written.size(), 96000U);
    const auto firstBelow = std::find_if(written.begin(), written.end(), [](float s) { return s < -0.25F; });
    EXPECT_NEAR(firstBelow - written.begin(), 72000, 2);
    // The end of the audio before the pause is kept whole, before the silence.
    EXPECT_NEAR(written[23950], 8000.0F / 32768, 1e-2);
    EXPECT_EQ(written[24100], 0.0F);
}

TEST_F(TrackWriting, WithoutACaptureTheFileGrowsWithTheClock) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    std::int64_t frames = 0;
    while (frames < 300 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
        if (auto reader = AudioFileReader::open(folder / "track.caf"))
            frames = reader->length();
    }
    EXPECT_GE(frames, 300);
    const auto written = finish();
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - origin).count();
    EXPECT_LE(static_cast<double>(written.size()), elapsed * 1000 + 1);
    EXPECT_EQ(std::count(written.begin(), written.end(), 0.0F), static_cast<std::ptrdiff_t>(written.size()));
}
