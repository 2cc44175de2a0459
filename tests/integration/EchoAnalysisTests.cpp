// Echo analysis on generated work WAVs: synthetic meetings with espeak-ng voices, a loudspeaker and
// a room between the system track and the microphone, and plain noise where only the numbers matter.

#include "SyntheticMeeting.h"
#include "TestAudio.h"
#include "TestEnvironment.h"
#include "pipeline/ClockDrift.h"
#include "pipeline/EchoAnalysis.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <gtest/gtest.h>
#include <limits>
#include <numbers>

namespace zorvel {
namespace {

using test::Meeting;
using test::Truth;

constexpr AudioFormat workFormat{16000, 1, SampleFormat::int16};

struct Counts {
    int total = 0;
    int dropped = 0;
    // The residual share in dB, lowest and highest over the utterances.
    double lowestDb = 1e9, highestDb = -1e9;
};

struct Figures {
    Counts echo, own, doubleTalk;
};

Result<std::vector<EchoAnalysis::Measurement>> measureWAVs(const std::vector<float>& system,
                                                           const std::vector<float>& mic,
                                                           const std::vector<EchoAnalysis::Span>& spans) {
    test::TemporaryFolder folder("echo");
    test::writeAudio(folder / "system-16k.wav", workFormat, system);
    test::writeAudio(folder / "mic-16k.wav", workFormat, mic);
    return EchoAnalysis::measure(folder / "system-16k.wav", folder / "mic-16k.wav", spans);
}

Figures analyse(const Meeting& meeting) {
    std::vector<EchoAnalysis::Span> spans;
    for (const auto& line : meeting.micLines)
        spans.push_back({line.fromMs, line.toMs});
    const auto measured = measureWAVs(meeting.system, meeting.mic, spans);
    Figures figures;
    EXPECT_TRUE(measured) << (measured ? "" : measured.error().description());
    if (!measured)
        return figures;
    for (size_t i = 0; i < spans.size(); ++i) {
        Counts& counts = meeting.micLines[i].truth == Truth::echo  ? figures.echo
                         : meeting.micLines[i].truth == Truth::own ? figures.own
                                                                   : figures.doubleTalk;
        const double db = 10.0 * std::log10(std::max((*measured)[i].residualShare, 1e-9F));
        ++counts.total;
        counts.dropped += (*measured)[i].isEcho ? 1 : 0;
        counts.lowestDb = std::min(counts.lowestDb, db);
        counts.highestDb = std::max(counts.highestDb, db);
    }
    return figures;
}

std::string describe(const Counts& counts) {
    char text[128];
    std::snprintf(text, sizeof text, "%2d/%2d dropped, residual %6.1f to %5.1f dB", counts.dropped,
                  counts.total, counts.lowestDb, counts.highestDb);
    return text;
}

TEST(EchoAnalysis, DropsTheEchoAtEveryLevelAndDelayButNeverTheUsersOwnSpeech) {
    for (const double level : {3.2, 6.0, 12.0, 20.0}) {
        for (const std::int64_t delay : {30, 100, 200}) {
            SCOPED_TRACE(testing::Message() << level << " dB, " << delay << " ms");
            const auto figures = analyse(test::syntheticMeeting({true, level, delay}));
            ASSERT_GT(figures.echo.total, 0);
            EXPECT_GE(figures.echo.dropped * 100, figures.echo.total * 95);
            EXPECT_EQ(figures.own.dropped, 0);
            EXPECT_EQ(figures.doubleTalk.dropped, 0);
            // The figures for the record: echo, own speech, double talk.
            std::printf("[ figures  ] echo %4.1f dB below, %3lld ms | echo %s | own %s | double talk %s\n",
                        level, static_cast<long long>(delay), describe(figures.echo).c_str(),
                        describe(figures.own).c_str(), describe(figures.doubleTalk).c_str());
        }
    }
}

TEST(EchoAnalysis, TheEchoIsFoundWhenTheTracksRunOnDifferentClocks) {
    for (const double ppm : {30.0, -80.0, 200.0}) {
        SCOPED_TRACE(testing::Message() << ppm << " ppm");
        const auto figures = analyse(test::syntheticMeeting({true, 12.0, 100, ppm}));
        EXPECT_GE(figures.echo.dropped * 100, figures.echo.total * 95);
        EXPECT_EQ(figures.own.dropped, 0);
        EXPECT_EQ(figures.doubleTalk.dropped, 0);
        std::printf(
            "[ figures  ] echo 12.0 dB below, 100 ms, microphone clock %+.0f ppm | echo %s | own %s | double "
            "talk %s\n",
            ppm, describe(figures.echo).c_str(), describe(figures.own).c_str(),
            describe(figures.doubleTalk).c_str());
    }
}

TEST(ClockDrift, IsMeasuredFromTheEchoAndIsZeroWithoutOne) {
    // Two minutes of noise bursts; the microphone hears them 100 ms late through a small room.
    auto system = test::noise(16000 * 120, 1, 0.3F, 7);
    for (size_t i = 0; i < system.size(); ++i)
        if (i / 16000 % 4 == 3)
            system[i] = 0.0F;
    std::vector<float> echo(system.size(), 0.0F);
    for (size_t i = 1700; i < system.size(); ++i)
        echo[i] = 0.25F * system[i - 1600] - 0.1F * system[i - 1650] + 0.05F * system[i - 1700];
    const auto independent = test::noise(static_cast<std::int64_t>(system.size()), 1, 0.1F, 9);
    const auto slower = test::resampled(echo, 16000, 16000 * (1 + 30e-6));
    const auto faster = test::resampled(echo, 16000, 16000 * (1 - 80e-6));
    struct Case {
        const char* name;
        std::vector<float> system, mic;
        double ppm;
    };
    const std::vector<Case> cases = {
        {"one clock", system, echo, 0.0},
        {"the microphone's clock 30 ppm fast", system, slower, 30.0},
        {"the microphone's clock 80 ppm slow", system, faster, -80.0},
        {"no echo", system, independent, 0.0},
        {"too short to tell", std::vector<float>(system.begin(), system.begin() + 16000 * 12),
         std::vector<float>(slower.begin(), slower.begin() + 16000 * 12), 0.0},
    };
    for (const auto& c : cases) {
        test::TemporaryFolder folder("drift");
        test::writeAudio(folder / "system-16k.wav", workFormat, c.system);
        test::writeAudio(folder / "mic-16k.wav", workFormat, c.mic);
        const auto drift = ClockDrift::estimate(folder / "system-16k.wav", folder / "mic-16k.wav");
        ASSERT_TRUE(drift) << drift.error().description();
        EXPECT_NEAR(*drift * 1e6, c.ppm, 0.5) << c.name;
    }
}

TEST(EchoAnalysis, NothingIsDroppedWithHeadphonesOrASilentSystemTrack) {
    const auto headphones = analyse(test::syntheticMeeting({false}));
    EXPECT_EQ(headphones.own.dropped, 0);
    EXPECT_EQ(headphones.doubleTalk.dropped, 0);
    std::printf("[ figures  ] headphones | own %s | double talk %s\n", describe(headphones.own).c_str(),
                describe(headphones.doubleTalk).c_str());

    // The other person in the room instead of on the system track: the microphone hears them,
    // but nothing of it is an echo.
    const auto silent = analyse(test::meetingWithSilentSystemTrack());
    EXPECT_GT(silent.own.total, 0);
    EXPECT_EQ(silent.own.dropped, 0);
    EXPECT_EQ(silent.doubleTalk.dropped, 0);
}

// A system track of noise bursts and a microphone that hears nothing but their echo, 12 dB down
// and 80 ms late: every utterance inside the audio is echo.
struct PureEcho {
    std::vector<float> system, mic;
    PureEcho() {
        system = test::noise(16000 * 12, 1, 0.3F, 7);
        for (size_t i = 0; i < system.size(); ++i)
            if (i / 16000 % 3 == 2)
                system[i] = 0.0F; // a second of silence after every two
        mic.assign(system.size(), 0.0F);
        for (size_t i = 1280; i < mic.size(); ++i)
            mic[i] = 0.25F * system[i - 1280];
    }
};

TEST(EchoAnalysis, SpansTheAudioDoesNotCoverAreKept) {
    const PureEcho audio;
    struct Case {
        const char* name;
        EchoAnalysis::Span span;
        bool isEcho;
    };
    const std::vector<Case> cases = {
        {"inside the echo", {3100, 4900}, true},
        {"starting before the recording", {-500, 1900}, true},
        {"past the end", {13000, 14000}, false},
        {"reversed", {4900, 3100}, false},
        {"empty", {4000, 4000}, false},
        {"on the silent second", {2200, 2900}, false},
        {"at the end of time",
         {std::numeric_limits<std::int64_t>::max() - 10, std::numeric_limits<std::int64_t>::max()},
         false},
        {"from the start of time", {std::numeric_limits<std::int64_t>::min(), 1900}, true},
    };
    std::vector<EchoAnalysis::Span> spans;
    for (const auto& c : cases)
        spans.push_back(c.span);
    const auto measured = measureWAVs(audio.system, audio.mic, spans);
    ASSERT_TRUE(measured) << measured.error().description();
    ASSERT_EQ(measured->size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ((*measured)[i].isEcho, cases[i].isEcho)
            << cases[i].name << ", residual share " << (*measured)[i].residualShare;
}

TEST(EchoAnalysis, OverlappingUtterancesAreMeasuredAlike) {
    // The recogniser's times may overlap without limit; every copy of a span measures the same.
    const PureEcho audio;
    std::vector<EchoAnalysis::Span> spans(5000, {3100, 4900});
    spans.push_back({0, 12000});
    spans.push_back({3100, 4900});
    const auto measured = measureWAVs(audio.system, audio.mic, spans);
    ASSERT_TRUE(measured) << measured.error().description();
    for (size_t i = 0; i < spans.size(); ++i) {
        EXPECT_TRUE((*measured)[i].isEcho) << i;
        if (spans[i].toMs == 4900) {
            ASSERT_EQ((*measured)[i].residualShare, measured->front().residualShare) << i;
        }
    }
}

TEST(EchoAnalysis, MicrophoneSoundThatIsNotOnlyEchoIsKept) {
    const PureEcho audio;
    const auto withMic = [&](float echo, auto&& own) {
        std::vector<float> mic(audio.mic.size());
        for (size_t i = 0; i < mic.size(); ++i)
            mic[i] = echo * audio.mic[i] + own(i);
        return mic;
    };
    const auto independent = test::noise(static_cast<std::int64_t>(audio.mic.size()), 1, 0.15F, 11);
    const auto at = [](size_t i) {
        return static_cast<double>(i) / 16000.0;
    };
    struct Case {
        const char* name;
        std::vector<float> mic;
        bool isEcho;
    };
    const std::vector<Case> cases = {
        {"the echo alone", withMic(1.0F, [](size_t) { return 0.0F; }), true},
        {"the echo under mains hum and rumble",
         withMic(1.0F,
                 [&](size_t i) {
                     return static_cast<float>(0.05 * std::sin(2 * std::numbers::pi * 50 * at(i)) +
                                               0.03 * std::sin(2 * std::numbers::pi * 90 * at(i)));
                 }),
         true},
        {"the user's voice as loud as the echo",
         withMic(1.0F, [&](size_t i) { return 0.5F * independent[i]; }), false},
        {"the user's voice, no echo (headphones)", withMic(0.0F, [&](size_t i) { return independent[i]; }),
         false},
        {"quiet speech over loud hum, no echo",
         withMic(0.0F,
                 [&](size_t i) {
                     return static_cast<float>(0.1 * independent[i] +
                                               0.3 * std::sin(2 * std::numbers::pi * 50 * at(i)) +
                                               0.2 * std::sin(2 * std::numbers::pi * 120 * at(i)));
                 }),
         false},
    };
    for (const auto& c : cases) {
        const auto measured = measureWAVs(audio.system, c.mic, {{3100, 4900}, {6200, 7800}});
        ASSERT_TRUE(measured) << measured.error().description();
        for (const auto& measurement : *measured)
            EXPECT_EQ(measurement.isEcho, c.isEcho)
                << c.name << ", residual share " << measurement.residualShare;
    }
}

TEST(EchoAnalysis, DroppedUtterancesAreLoggedWithTimeAndTextAndAFailureKeepsEverything) {
    const PureEcho audio;
    test::TemporaryFolder folder("echo");
    test::writeAudio(folder / "system-16k.wav", workFormat, audio.system);
    test::writeAudio(folder / "mic-16k.wav", workFormat, audio.mic);
    const std::vector<TranscriptSegment> segments = {
        {"Я", 3100, 4900, "Слышно меня?"}, {"Я", 6200, 7800, "Добрый день."}, {"Я", 8100, 8800, "Пауза."}};
    {
        auto log = LogFile::create(folder / "whisper.log");
        ASSERT_TRUE(log);
        auto kept = segments;
        EchoAnalysis::dropEchoes(folder / "system-16k.wav", folder / "mic-16k.wav", kept, *log);
        ASSERT_EQ(kept.size(), 1u);
        EXPECT_EQ(kept[0].text, "Пауза.");
    }
    const std::string log = test::readText(folder / "whisper.log");
    const auto first = log.find("[zorvel] Отброшено эхо собеседника (00:00:03, остаток -");
    const auto second = log.find("[zorvel] Отброшено эхо собеседника (00:00:06, остаток -");
    ASSERT_NE(first, std::string::npos) << log;
    ASSERT_NE(second, std::string::npos) << log;
    EXPECT_NE(log.find(" дБ): Слышно меня?\n", first), std::string::npos) << log;
    EXPECT_NE(log.find(" дБ): Добрый день.\n", second), std::string::npos) << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << log;

    // A reference that is not a 16 kHz work WAV, or none at all: nothing is dropped, and the log
    // says why.
    test::writeAudio(folder / "system-44k.wav", {44100, 1, SampleFormat::int16}, audio.system);
    for (const auto& reference : {folder / "system-44k.wav", folder / "absent.wav"}) {
        auto logFile = LogFile::create(folder / "whisper.log");
        ASSERT_TRUE(logFile);
        auto kept = segments;
        EchoAnalysis::dropEchoes(reference, folder / "mic-16k.wav", kept, *logFile);
        logFile->close();
        EXPECT_EQ(kept.size(), segments.size());
        const std::string text = test::readText(folder / "whisper.log");
        EXPECT_TRUE(
            text.starts_with("[zorvel] Эхо собеседника проверить не вышло — реплики микрофона оставлены: "))
            << text;
        EXPECT_NE(text.find(reference.filename().string()), std::string::npos) << text;
    }
}

} // namespace
} // namespace zorvel
