// The recorders' logic against a capture device under the test's control.
#include "GgmlModels.h"
#include "FakeAudioBackend.h"
#include "QtEventLoop.h"
#include "audio/AudioConverter.h"
#include "cli/MicTest.h"
#include "model/ModelPaths.h"
#include "platform/AudioConfigurationNotifier.h"
#include "recording/MicRecorder.h"
#include "recording/RecordingSession.h"
#include "recording/SystemAudioRecorder.h"
#include "support/FolderLock.h"
#include "support/Paths.h"
#include "support/TestEnvironment.h"

#include <cmath>
#include <cstdlib>
#include <atomic>
#include <gtest/gtest.h>
#include <set>
#include <thread>

using namespace zorvel;
using namespace zorvel::test;
using namespace std::chrono_literals;

namespace {

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Whether the file, as far as it is written, holds a sample of exactly `value`.
bool fileHolds(const std::filesystem::path& path, float value) {
    auto reader = AudioFileReader::open(path);
    if (!reader || reader->length() < 1)
        return false;
    std::vector<float> samples(static_cast<size_t>(reader->length() * reader->channels()));
    const auto got = reader->read(samples.data(), reader->length());
    return got && std::find(samples.begin(), samples.end(), value) != samples.end();
}

std::vector<float> readAll(const std::filesystem::path& path, int* channels = nullptr, int* rate = nullptr) {
    auto reader = AudioFileReader::open(path);
    EXPECT_TRUE(reader.has_value()) << path;
    if (!reader)
        return {};
    if (channels)
        *channels = reader->channels();
    if (rate)
        *rate = reader->sampleRate();
    std::vector<float> samples(static_cast<size_t>(reader->length() * reader->channels()));
    (void)reader->read(samples.data(), reader->length());
    return samples;
}

// A failed capture step as a sound server reports it: its code and its own words.
Error failureAt(CaptureStep step, std::int32_t code) {
    return Error::platform("Шаг не удался: сбой сервера", ErrorSource::pulseAudio, code, "сбой сервера")
        .inCaptureStep(step);
}

class RecordingLogic : public testing::Test {
protected:
    void SetUp() override {
        ensureApplication();
        // Sessions created within one second share a folder; start each test without older ones.
        std::filesystem::remove_all(Paths::recordingsRoot());
    }
    FakeAudioBackend backend;
    TemporaryFolder folder{"recording"};
};

} // namespace

// --- Converter ----------------------------------------------------------------------------------

TEST(AudioConverter, OutputCapacityIsTheRateRatioTimesTheFramesPlus1024) {
    EXPECT_EQ(AudioConverter::outputCapacity(44100, 48000, 4096), 5482U);
    EXPECT_EQ(AudioConverter::outputCapacity(48000, 48000, 4096), 5120U);
    EXPECT_EQ(AudioConverter::outputCapacity(96000, 48000, 4096), 3072U);
}

TEST(AudioConverter, MixesA44kStereoDeviceTo48kMonoCarryingStateAcrossBuffers) {
    auto converter = AudioConverter::create({44100, 2, SampleFormat::int16}, 48000, 1);
    ASSERT_TRUE(converter.has_value());
    // A 1 kHz tone on the left only: the mono mix is half its level, and after resampling it
    // still is 1 kHz at 48 kHz (without resampling it would read as 1088 Hz).
    std::vector<std::int16_t> buffer(4096 * 2);
    std::vector<float> output;
    std::int64_t frame = 0;
    for (int b = 0; b < 22; ++b) {
        for (int i = 0; i < 4096; ++i, ++frame) {
            buffer[static_cast<size_t>(2 * i)] =
                static_cast<std::int16_t>(std::lround(16000 * std::sin(2 * M_PI * 1000 * static_cast<double>(frame) / 44100)));
            buffer[static_cast<size_t>(2 * i + 1)] = 0;
        }
        auto converted = (*converter)->convert(buffer.data(), SampleType::int16, 4096);
        ASSERT_TRUE(converted.has_value());
        EXPECT_EQ((*converter)->lastCapacity(), 5482U);
        output.insert(output.end(), converted->first, converted->first + converted->second);
    }
    // All input but the resampler's short delay comes out.
    EXPECT_NEAR(static_cast<double>(output.size()), 22 * 4096 * 48000.0 / 44100, 2000);
    // One steady second in the middle: 2000 zero crossings, peak about 16000 / 32768 / 2.
    int crossings = 0;
    float peak = 0;
    for (size_t i = 24000; i < 72000; ++i) {
        crossings += (output[i - 1] < 0) != (output[i] < 0);
        peak = std::max(peak, std::fabs(output[i]));
    }
    EXPECT_NEAR(crossings, 2000, 3);
    EXPECT_NEAR(peak, 16000.0 / 32768 / 2, 0.01);
}

TEST(AudioConverter, MixesChannelsWithoutResamplingAtTheSameRate) {
    const float stereo[] = {0.5F, -0.1F, 1.0F, 1.0F};
    auto down = AudioConverter::create({48000, 2, SampleFormat::float32}, 48000, 1);
    ASSERT_TRUE(down.has_value());
    auto mono = (*down)->convert(stereo, SampleType::float32, 2);
    ASSERT_TRUE(mono.has_value());
    ASSERT_EQ(mono->second, 2);
    EXPECT_FLOAT_EQ(mono->first[0], 0.2F);
    EXPECT_FLOAT_EQ(mono->first[1], 1.0F);

    const std::int16_t samples[] = {-32768, 16384};
    auto up = AudioConverter::create({48000, 1, SampleFormat::int16}, 48000, 2);
    ASSERT_TRUE(up.has_value());
    auto both = (*up)->convert(samples, SampleType::int16, 2);
    ASSERT_TRUE(both.has_value());
    ASSERT_EQ(both->second, 2);
    EXPECT_EQ(std::vector<float>(both->first, both->first + 4), (std::vector<float>{-1.0F, -1.0F, 0.5F, 0.5F}));
}

// --- Microphone recorder ------------------------------------------------------------------------

TEST_F(RecordingLogic, OnlyAPeakAboveTheThresholdCountsAsSound) {
    MicRecorder recorder(backend);
    ASSERT_TRUE(recorder.start(folder / "mic.caf").has_value());
    const auto started = std::chrono::steady_clock::now();
    // A capture without timing reports is placed once it holds a second of audio; from then on
    // each buffer goes straight to the file.
    const std::vector<float> silence(48000, 0.0F);
    ASSERT_TRUE(backend.deliver(CaptureDevice::defaultInput, silence.data(), 48000));
    std::vector<float> atThreshold(480, 0.0F);
    atThreshold[100] = -0.004F;
    ASSERT_TRUE(backend.deliver(CaptureDevice::defaultInput, atThreshold.data(), 480));
    // The writer measures a buffer before it stores it: once the peak is in the file, it was seen.
    ASSERT_TRUE(waitUntil([&] { return fileHolds(folder / "mic.caf", -0.004F); }, 10s));
    // Had it counted, the last sound would be later than the start.
    const double sinceStart = secondsSince(started);
    EXPECT_GE(recorder.secondsSinceLastSound(), sinceStart);

    std::vector<float> above(480, 0.0F);
    above[7] = -0.0041F;
    ASSERT_TRUE(backend.deliver(CaptureDevice::defaultInput, above.data(), 480));
    EXPECT_TRUE(runEventLoopUntil([&] { return recorder.secondsSinceLastSound() < 0.1; }, 2s));
    recorder.stop();
}

TEST_F(RecordingLogic, SilenceIsCountedFromTheStartNotFromConstruction) {
    MicRecorder recorder(backend);
    // Not an ordering: time passes between making a recorder and starting it, as in the tray.
    std::this_thread::sleep_for(200ms);
    const auto beforeStart = std::chrono::steady_clock::now();
    ASSERT_TRUE(recorder.start(folder / "mic.caf").has_value());
    const auto started = std::chrono::steady_clock::now();
    EXPECT_LE(recorder.secondsSinceLastSound(), secondsSince(beforeStart));
    // And it grows from there while nothing is heard.
    std::this_thread::sleep_for(200ms);
    const double sinceStarted = secondsSince(started);
    EXPECT_GE(recorder.secondsSinceLastSound(), sinceStarted);
    recorder.stop();
}

TEST_F(RecordingLogic, ConfigurationChangeRebuildsTheCaptureOrMarksTheRecorderBroken) {
    MicRecorder recorder(backend);
    ASSERT_TRUE(recorder.start(folder / "mic.caf").has_value());
    std::vector<float> buffer(960, 0.25F);
    ASSERT_TRUE(backend.deliver(CaptureDevice::defaultInput, buffer.data(), 960));

    // A notification posted by nobody in particular triggers the rebuild, on the main thread.
    AudioConfigurationNotifier::instance().post();
    ASSERT_TRUE(runEventLoopUntil([&] { return recorder.restarts() == 1; }, 2s));
    EXPECT_FALSE(recorder.broken());
    EXPECT_EQ(backend.opens(), 2);
    EXPECT_EQ(backend.liveCaptures(), 1); // the old capture is gone

    backend.input.openFailure = failureAt(CaptureStep::connect, 5);
    AudioConfigurationNotifier::instance().post();
    ASSERT_TRUE(runEventLoopUntil([&] { return recorder.broken(); }, 2s));
    EXPECT_EQ(recorder.restarts(), 1);
    EXPECT_EQ(backend.liveCaptures(), 0);

    // Broken, nothing captures; the input coming back is still noticed.
    EXPECT_EQ(backend.liveWatches(), 1);
    backend.input.openFailure.reset();
    ASSERT_TRUE(backend.changeDefaultInput());
    ASSERT_TRUE(runEventLoopUntil([&] { return recorder.restarts() == 2; }, 2s));
    EXPECT_FALSE(recorder.broken());
    EXPECT_EQ(backend.liveWatches(), 0);
    ASSERT_TRUE(backend.deliver(CaptureDevice::defaultInput, buffer.data(), 960));
    recorder.stop();

    // Both buffers are in the one file.
    const auto written = readAll(folder / "mic.caf");
    EXPECT_EQ(std::count(written.begin(), written.end(), 0.25F), 1920);
}

TEST_F(RecordingLogic, NotificationsWhileIdleOrAfterStopChangeNothing) {
    MicRecorder recorder(backend);
    AudioConfigurationNotifier::instance().post();
    ASSERT_TRUE(drainEventLoop());
    EXPECT_EQ(backend.opens(), 0);
    ASSERT_TRUE(recorder.start(folder / "mic.caf").has_value());
    recorder.stop();
    AudioConfigurationNotifier::instance().post();
    ASSERT_TRUE(drainEventLoop());
    EXPECT_EQ(backend.opens(), 1);
    EXPECT_EQ(recorder.restarts(), 0);
    EXPECT_FALSE(recorder.broken());
}

TEST_F(RecordingLogic, FailedMicStartLeavesNoCaptureNoSubscriptionAndTheFileOnDisk) {
    backend.input.startFailure = failureAt(CaptureStep::startStream, 3);
    MicRecorder recorder(backend);
    const auto started = recorder.start(folder / "mic.caf");
    ASSERT_FALSE(started.has_value());
    // The engine's own error, in the server's words.
    EXPECT_FALSE(started.error().is(ZorvelError::Kind::microphoneUnavailable));
    EXPECT_EQ(started.error().description(), "Шаг не удался: сбой сервера");
    EXPECT_EQ(started.error().code(), 3);
    EXPECT_EQ(backend.liveCaptures(), 0);
    EXPECT_TRUE(std::filesystem::exists(folder / "mic.caf"));
    AudioConfigurationNotifier::instance().post();
    ASSERT_TRUE(drainEventLoop());
    EXPECT_EQ(backend.opens(), 1);

    backend.input.startFailure.reset();
    backend.input.openFailure = failureAt(CaptureStep::connect, 5);
    const auto noDevice = MicRecorder(backend).start(folder / "mic2.caf");
    ASSERT_FALSE(noDevice.has_value());
    EXPECT_TRUE(noDevice.error().is(ZorvelError::Kind::microphoneUnavailable));
    // The fixed message hides the server's words; the error keeps them for the log.
    EXPECT_EQ(noDevice.error().platformMessage(), "сбой сервера");
    EXPECT_EQ(noDevice.error().captureStep(), CaptureStep::connect);
    EXPECT_NE(noDevice.error().logText().find("сбой сервера"), std::string::npos);
}

// --- System audio recorder ----------------------------------------------------------------------

TEST_F(RecordingLogic, EachFailedSystemAudioStepHasItsTextAndLeavesNothingRunning) {
    struct Case {
        CaptureStep step;
        bool atOpen;
        const char* text;
        std::int32_t status;
        bool fileLeft;
    };
    const Case cases[] = {
        {CaptureStep::connect, true, "создание системного тапа", 6, false},
        {CaptureStep::readFormat, true, "чтение формата тапа", 5, false},
        {CaptureStep::unsupportedFormat, true, "неподдерживаемый формат тапа", -1, false},
        {CaptureStep::createStream, false, "создание агрегатного устройства", 7, true},
        {CaptureStep::startStream, false, "старт записи системного звука", 9, true},
    };
    for (const Case& c : cases) {
        FakeAudioBackend fake;
        (c.atOpen ? fake.output.openFailure : fake.output.startFailure) = failureAt(c.step, c.status);
        const auto path = folder / (std::string(c.text) + ".caf");
        SystemAudioRecorder recorder(fake);
        const auto started = recorder.start(path);
        ASSERT_FALSE(started.has_value()) << c.text;
        const ZorvelError* error = started.error().zorvelError();
        ASSERT_NE(error, nullptr) << c.text;
        EXPECT_EQ(error->kind(), ZorvelError::Kind::coreAudio);
        EXPECT_EQ(error->text(), c.text);
        EXPECT_EQ(error->status(), c.status);
        // The step and the server's own words reach whoever shows or logs the error.
        EXPECT_EQ(started.error().captureStep(), c.step) << c.text;
        EXPECT_EQ(started.error().platformMessage(), "сбой сервера") << c.text;
        EXPECT_EQ(started.error().source(), ErrorSource::pulseAudio) << c.text;
        EXPECT_EQ(fake.liveCaptures(), 0) << c.text;
        EXPECT_EQ(std::filesystem::exists(path), c.fileLeft) << c.text;
        EXPECT_FALSE(recorder.isCapturing());
    }
}

TEST_F(RecordingLogic, SystemAudioFollowsANewDefaultOutputIntoTheSameFile) {
    SystemAudioRecorder recorder(backend);
    ASSERT_TRUE(recorder.start(folder / "system.caf").has_value());
    std::vector<std::int16_t> before(882 * 2, 3000);
    ASSERT_TRUE(backend.deliver(CaptureDevice::defaultOutputMonitor, before.data(), 882));

    // The new output delivers 48 kHz float: converted to the file's 44.1 kHz 16-bit stereo.
    backend.output.format = {48000, 2, SampleFormat::float32};
    ASSERT_TRUE(backend.changeDefaultOutput());
    ASSERT_TRUE(runEventLoopUntil([&] { return backend.opens() == 2 && backend.liveCaptures() == 1; }, 2s));
    std::vector<float> after(4800 * 2, 0.5F);
    // As a device does: each 100 ms buffer once its time has passed (a buffer early by more than
    // the writer tolerates would be cut as a fast device clock's surplus).
    const auto capturing = std::chrono::steady_clock::now();
    for (int i = 1; i <= 10; ++i) {
        std::this_thread::sleep_until(capturing + i * 100ms);
        ASSERT_TRUE(backend.deliver(CaptureDevice::defaultOutputMonitor, after.data(), 4800));
    }
    recorder.stop();

    int channels = 0, rate = 0;
    const auto written = readAll(folder / "system.caf", &channels, &rate);
    EXPECT_EQ(channels, 2);
    EXPECT_EQ(rate, 44100);
    EXPECT_EQ(std::count(written.begin(), written.end(), 3000.0F / 32768), 882 * 2);
    const auto converted = std::count_if(written.begin(), written.end(), [](float s) { return std::fabs(s - 0.5F) < 1e-3F; });
    EXPECT_GT(converted, 2 * (44100 - 2000));
}

TEST_F(RecordingLogic, SystemAudioLooksAgainWhenNoOutputIsLeftToFollow) {
    SystemAudioRecorder recorder(backend);
    ASSERT_TRUE(recorder.start(folder / "system.caf").has_value());
    backend.output.openFailure = failureAt(CaptureStep::connect, 5);
    ASSERT_TRUE(backend.changeDefaultOutput());
    ASSERT_TRUE(runEventLoopUntil([&] { return backend.opens() == 2; }, 2s));
    EXPECT_FALSE(recorder.isCapturing());
    backend.output.openFailure.reset();
    ASSERT_TRUE(runEventLoopUntil([&] { return recorder.isCapturing(); }, 3s));
    recorder.stop();
    EXPECT_EQ(backend.liveCaptures(), 0);
}

// --- Recording session --------------------------------------------------------------------------

TEST(RecordingSessionName, UsesLocalTimeWithHyphens) {
    const char* previous = std::getenv("TZ");
    const std::string saved = previous ? previous : "";
    ::setenv("TZ", "Europe/Moscow", 1);
    ::tzset();
    // 2025-02-01 06:05:07 UTC is 09:05:07 in Moscow.
    const auto time = std::chrono::system_clock::from_time_t(1738389907);
    EXPECT_EQ(RecordingSession::folderName(time), "2025-02-01 09-05-07");
    previous ? ::setenv("TZ", saved.c_str(), 1) : ::unsetenv("TZ");
    ::tzset();
}

TEST_F(RecordingLogic, SessionCreatesANewFolderAndNeverReusesOne) {
    const auto before = std::chrono::system_clock::now();
    // Folders for this second and the next two exist already, as if from sessions just before.
    std::set<std::string> taken;
    for (int ahead = 0; ahead < 3; ++ahead) {
        taken.insert(RecordingSession::folderName(before + std::chrono::seconds(ahead)));
        std::filesystem::create_directories(Paths::recordingsRoot() / *taken.rbegin());
        writeText(Paths::recordingsRoot() / *taken.rbegin() / "mic.caf", "earlier capture");
    }
    auto first = RecordingSession::create(true, backend);
    auto second = RecordingSession::create(true, backend);
    ASSERT_TRUE(first.has_value());
    ASSERT_TRUE(second.has_value());
    for (const auto* session : {first->get(), second->get()}) {
        EXPECT_EQ(session->folderURL().parent_path(), Paths::recordingsRoot());
        EXPECT_FALSE(taken.contains(session->folderURL().filename().string())) << session->folderURL();
        // The name keeps the pattern and sorts after every earlier one.
        EXPECT_GT(session->folderURL().filename().string(), *taken.rbegin());
        EXPECT_EQ(session->folderURL().filename().string().size(), std::string("2025-02-01 09-05-07").size());
        EXPECT_GE(session->startedAt(), before);
    }
    EXPECT_NE((*first)->folderURL(), (*second)->folderURL());
    for (const auto& name : taken)
        EXPECT_EQ(readText(Paths::recordingsRoot() / name / "mic.caf"), "earlier capture");
}

// A recording holds its folder's lock until it stops: a transcription of that folder is refused
// at once and touches nothing, and the stopped folder holds only its captures.
TEST_F(RecordingLogic, SessionHoldsItsFolderUntilItStops) {
    auto session = RecordingSession::create(true, backend);
    ASSERT_TRUE(session.has_value());
    ASSERT_TRUE((*session)->start().has_value());
    const auto recording = (*session)->folderURL();
    EXPECT_TRUE(isFolderLocked(recording));
    std::filesystem::create_directories(folder / "bin");
    std::filesystem::create_symlink(whisperDouble(), folder / "bin" / "whisper-cli");
    std::filesystem::create_directories(Paths::modelURL().parent_path());
    test::writeWeightlessWhisperModel(Paths::modelURL());
    const ProgramRun run = runProgram(zorvelExecutable(), {"--transcribe", recording.string()},
                                      {"ZORVEL_RESOURCE_DIR=" + folder.path().string()});
    std::filesystem::remove(Paths::modelURL());
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_TRUE(run.standardError.starts_with("Папка «" + recording.string() + "» занята")) << run.standardError;
    EXPECT_EQ(listFolder(recording), (std::vector<std::string>{".zorvel.lock", "mic.caf", "system.caf"}));
    (*session)->stop();
    EXPECT_FALSE(isFolderLocked(recording));
    EXPECT_EQ(listFolder(recording), (std::vector<std::string>{"mic.caf", "system.caf"}));
}

// A session that could not start leaves no empty folder behind for "the newest recording" to
// find; one that recorded something keeps it.
TEST_F(RecordingLogic, AFailedStartRemovesItsFolderOnlyWhenNothingWasRecorded) {
    backend.output.openFailure = failureAt(CaptureStep::connect, 6);
    auto failed = RecordingSession::create(true, backend);
    ASSERT_TRUE(failed.has_value());
    ASSERT_FALSE((*failed)->start().has_value());
    EXPECT_FALSE(std::filesystem::exists((*failed)->folderURL()));

    backend.output.openFailure.reset();
    backend.input.startFailure = failureAt(CaptureStep::startStream, 3);
    auto half = RecordingSession::create(true, backend);
    ASSERT_TRUE(half.has_value());
    const std::int16_t samples[2 * 4410] = {};
    std::atomic<bool> delivering{true};
    std::thread output([&] {
        while (delivering)
            if (!backend.deliver(CaptureDevice::defaultOutputMonitor, samples, 4410))
                std::this_thread::sleep_for(1ms);
    });
    ASSERT_FALSE((*half)->start().has_value());
    delivering = false;
    output.join();
    // The system audio ran before the microphone failed; what it wrote stays.
    EXPECT_TRUE(std::filesystem::exists((*half)->folderURL() / "system.caf"));
    EXPECT_FALSE(isFolderLocked((*half)->folderURL()));
}

TEST_F(RecordingLogic, SessionStartedAtIsConstructionTime) {
    auto session = RecordingSession::create(true, backend);
    ASSERT_TRUE(session.has_value());
    const auto beforeStart = std::chrono::system_clock::now();
    ASSERT_TRUE((*session)->start().has_value());
    EXPECT_LT((*session)->startedAt(), beforeStart);
    EXPECT_EQ(backend.liveCaptures(), 2);
    (*session)->stop();
    EXPECT_EQ(backend.liveCaptures(), 0);
    EXPECT_EQ(listFolder((*session)->folderURL()), (std::vector<std::string>{"mic.caf", "system.caf"}));
}

TEST_F(RecordingLogic, SessionWithoutMicrophoneRecordsOnlySystemAudio) {
    auto session = RecordingSession::create(false, backend);
    ASSERT_TRUE(session.has_value());
    ASSERT_TRUE((*session)->start().has_value());
    EXPECT_EQ(backend.opens(), 1);
    (*session)->stop();
    EXPECT_EQ(listFolder((*session)->folderURL()), std::vector<std::string>{"system.caf"});
}

TEST_F(RecordingLogic, FailedMicrophoneStopsSystemAudioAndReportsTheMicrophone) {
    backend.input.openFailure = failureAt(CaptureStep::connect, 5);
    auto session = RecordingSession::create(true, backend);
    ASSERT_TRUE(session.has_value());
    const auto started = (*session)->start();
    ASSERT_FALSE(started.has_value());
    EXPECT_TRUE(started.error().is(ZorvelError::Kind::microphoneUnavailable));
    EXPECT_EQ(backend.liveCaptures(), 0);
    EXPECT_TRUE(std::filesystem::exists((*session)->folderURL() / "system.caf"));
}

TEST_F(RecordingLogic, FailedSystemAudioLeavesTheMicrophoneUntouched) {
    backend.output.openFailure = failureAt(CaptureStep::connect, 6);
    auto session = RecordingSession::create(true, backend);
    ASSERT_TRUE(session.has_value());
    const auto started = (*session)->start();
    ASSERT_FALSE(started.has_value());
    EXPECT_TRUE(started.error().is(ZorvelError::Kind::coreAudio));
    EXPECT_EQ(backend.opens(), 1);
    EXPECT_EQ(backend.liveCaptures(), 0);
}

TEST(RecordingWithoutSoundServer, SessionStartFailsAtTheFirstSystemAudioStep) {
    ensureApplication();
    std::filesystem::remove_all(Paths::recordingsRoot());
    const char* previous = std::getenv("PULSE_SERVER");
    const std::string saved = previous ? previous : "";
    ::setenv("PULSE_SERVER", "unix:/nonexistent/zorvel/native", 1);
    auto session = RecordingSession::create(true);
    ASSERT_TRUE(session.has_value());
    const auto started = (*session)->start();
    previous ? ::setenv("PULSE_SERVER", saved.c_str(), 1) : ::unsetenv("PULSE_SERVER");
    ASSERT_FALSE(started.has_value());
    const ZorvelError* error = started.error().zorvelError();
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->text(), "создание системного тапа");
    EXPECT_NE(error->status(), 0); // libpulse's own code
    // libpulse's own words and the failed step come along, for the message and the log.
    EXPECT_EQ(started.error().source(), ErrorSource::pulseAudio);
    EXPECT_EQ(started.error().code(), error->status());
    EXPECT_FALSE(started.error().platformMessage().empty());
    EXPECT_EQ(started.error().captureStep(), CaptureStep::connect);
    EXPECT_FALSE(std::filesystem::exists((*session)->folderURL() / "mic.caf"));
}

// --- Self-test duration -------------------------------------------------------------------------

TEST(MicTestDuration, ReadsTheOperandAndFallsBackSensibly) {
    struct Case {
        std::optional<std::string> operand;
        double seconds;
        long long steps;
    };
    const Case cases[] = {
        {std::nullopt, 8, 8},      {"5", 5, 5},         {"2.5", 2.5, 2},   {"1", 1, 1},
        {"abc", 8, 8},             {"", 8, 8},          {" 5", 8, 8},      {"5 ", 8, 8},
        {"--transcribe", 8, 8},    {"0.5", 0.5, 1},     {"0", 0, 1},       {"-3", -3, 1},
        {"nan", 8, 8},             {"inf", 8, 8},       {"1e300", 8, 8},   {"9.3e18", 8, 8},
        {"9e18", 9e18, 9000000000000000000LL},
    };
    for (const Case& c : cases) {
        const MicTestDuration duration = micTestDuration(c.operand);
        EXPECT_EQ(duration.seconds, c.seconds) << c.operand.value_or("(none)");
        EXPECT_EQ(duration.steps, c.steps) << c.operand.value_or("(none)");
    }
}
