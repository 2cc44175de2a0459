#include "TranscribeFixture.h"
#include "audio/TrackLevels.h"
#include "pipeline/BackgroundRecognition.h"
#include "pipeline/StretchPlanner.h"
#include "pipeline/StretchRecognition.h"
#include "pipeline/StretchStore.h"
#include "pipeline/Transcriber.h"
#include "support/LogFile.h"

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace zorvel {
namespace {

using test::readText;

constexpr std::int64_t framesPerWindow = 480; // 10 ms at 48 kHz

// Talk: bursts of noise of 0.3 to 8 s with pauses of 0.2 to 2.5 s of digital silence, every edge
// on a 10 ms window, so that the recogniser double finds the same utterances in any stretch.
std::vector<float> talk(double seconds, int channels, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> burst(30, 800);
    std::uniform_int_distribution<int> pause(20, 250);
    const auto frames = static_cast<std::int64_t>(seconds * 48000);
    const auto noise = test::noise(frames, channels, 0.3F, seed);
    std::vector<float> samples(noise.size(), 0.0F);
    std::int64_t at = pause(random) * framesPerWindow;
    while (at < frames) {
        const std::int64_t end = std::min(frames, at + burst(random) * framesPerWindow);
        std::copy(noise.begin() + at * channels, noise.begin() + end * channels, samples.begin() + at * channels);
        at = end + pause(random) * framesPerWindow;
    }
    return samples;
}

// The transcript without its heading, which carries the folder's creation time.
std::string body(const std::string& transcript) { return transcript.substr(transcript.find('\n')); }

class IncrementalTranscription : public TranscribeCommand {
protected:
    void SetUp() override {
        TranscribeCommand::SetUp();
        extraEnvironment.push_back("WHISPER_DOUBLE_SPEECH=1");
        // The stretches recognised in this process use the same double, noted in the same place.
        ::setenv("WHISPER_DOUBLE_SPEECH", "1", 1);
        ::setenv("WHISPER_DOUBLE_RECORD", (scratch / "invocations").c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("WHISPER_DOUBLE_SPEECH");
        ::unsetenv("WHISPER_DOUBLE_RECORD");
        TranscribeCommand::TearDown();
    }

    // The same recording in two folders of the same name, for a plain run and one with stretches.
    std::filesystem::path makeRecording(const std::string& parent, double seconds) {
        const auto folder = scratch / parent / "2025-03-05 14-03-27";
        std::filesystem::create_directories(folder);
        test::writeAudio(folder / "system.caf", systemFormat, talk(seconds, 2, 11));
        test::writeAudio(folder / "mic.caf", micFormat, talk(seconds, 1, 12));
        return folder;
    }

    // What recognition during the recording leaves: the track cut as its writer's levels say, every
    // finished stretch recognised and stored. Returns the number of stretches.
    std::size_t recogniseWhileRecorded(const std::filesystem::path& folder, const std::string& track,
                                       const RecogniserCommand& command) {
        const auto capture = folder / (track + ".caf");
        int channels = 0;
        int rate = 0;
        const auto samples = test::readAudio(capture, &channels, &rate);
        TrackLevels levels(rate);
        levels.add(samples.data(), channels, static_cast<std::int64_t>(samples.size()) / channels);
        const auto measured = levels.since(0);
        auto log = LogFile::create(scratch / (track + "-stretches.log"));
        EXPECT_TRUE(log);
        StretchRecord record{rate, channels, {}};
        std::int64_t start = 0;
        for (const auto end : StretchPlanner::boundaries(measured)) {
            auto stretch = recogniseStretch(folder, track, capture, start * levels.framesPerWindow(),
                                            end * levels.framesPerWindow(), test::whisperDouble(), command, *log);
            EXPECT_TRUE(stretch) << (stretch ? "" : stretch.error().description());
            if (!stretch)
                break;
            record.stretches.push_back(std::move(*stretch));
            EXPECT_TRUE(StretchStore::save(folder, track, record));
            start = end;
        }
        return record.stretches.size();
    }
};

TEST_F(IncrementalTranscription, StretchesRecognisedDuringTheRecordingGiveTheTranscriptOfAPlainRun) {
    const auto plain = makeRecording("plain", 200);
    const auto incremental = makeRecording("incremental", 200);
    auto run = transcribe(plain);
    ASSERT_EQ(run.exitStatus, 0) << run.standardError;
    ASSERT_EQ(invocations().size(), 2U);
    const auto command = commandOfPlainRun();
    const std::string expected = readText(plain / "transcript.md");
    ASSERT_NE(expected.find("**Я**"), std::string::npos) << expected;
    ASSERT_NE(expected.find("**Собеседник**"), std::string::npos) << expected;

    const auto systemStretches = recogniseWhileRecorded(incremental, "system", command);
    const auto micStretches = recogniseWhileRecorded(incremental, "mic", command);
    ASSERT_GE(systemStretches, 2U);
    ASSERT_GE(micStretches, 2U);
    ASSERT_EQ(invocations().size(), systemStretches + micStretches);
    std::filesystem::remove(scratch / "invocations");

    run = transcribe(incremental);
    ASSERT_EQ(run.exitStatus, 0) << run.standardError;
    EXPECT_EQ(body(readText(incremental / "transcript.md")), body(expected));
    // Only what followed the last stored stretch of each track was recognised at the end.
    const auto runs = invocations();
    ASSERT_EQ(runs.size(), 2U);
    for (const auto& arguments : runs)
        EXPECT_TRUE(arguments.back().ends_with("-stretch.wav")) << arguments.back();
    // The store went with the captures.
    EXPECT_EQ(files(incremental), (std::vector<std::string>{"audio.m4a", "transcript.md"}));
}

TEST_F(IncrementalTranscription, AnotherLanguageModelOrCaptureStartsOverAndALinkedStoreIsNeverWrittenThrough) {
    const auto folder = makeRecording("changed", 150);
    ASSERT_EQ(transcribe(makeRecording("plain", 150)).exitStatus, 0);
    const auto plainCommand = commandOfPlainRun();
    auto english = plainCommand;
    english.language = "en";
    ASSERT_GE(recogniseWhileRecorded(folder, "mic", english), 1U);
    ASSERT_GE(recogniseWhileRecorded(folder, "system", plainCommand), 2U);
    const auto storedSystem = StretchStore::load(folder, "system");
    const auto settings = RecogniserSettings::of(plainCommand);

    // Stored in English, wanted in Russian: nothing stands.
    EXPECT_TRUE(StretchStore::reusable(folder, "mic", folder / "mic.caf", settings).empty());
    EXPECT_EQ(StretchStore::reusable(folder, "system", folder / "system.caf", settings).size(),
              storedSystem.stretches.size());
    // A model downloaded again is another model.
    auto otherModel = settings;
    otherModel.modelModified += 1;
    EXPECT_TRUE(StretchStore::reusable(folder, "system", folder / "system.caf", otherModel).empty());
    // The thread count does not matter.
    auto otherThreads = settings;
    otherThreads.threads += 3;
    EXPECT_FALSE(StretchStore::reusable(folder, "system", folder / "system.caf", otherThreads).empty());

    // A capture whose samples changed in the second stretch keeps only the first.
    {
        int channels = 0;
        auto samples = test::readAudio(folder / "system.caf", &channels);
        const auto second = storedSystem.stretches.at(1);
        samples.at(static_cast<std::size_t>((second.fromFrame + second.toFrame) / 2 * channels)) += 0.001F;
        test::writeAudio(folder / "system.caf", systemFormat, samples);
        EXPECT_EQ(StretchStore::reusable(folder, "system", folder / "system.caf", settings).size(), 1U);
        // A gap between stretches ends what stands, as does a range past the capture's end.
        auto record = storedSystem;
        record.stretches.at(0).toFrame -= framesPerWindow;
        ASSERT_TRUE(StretchStore::save(folder, "other", record));
        std::filesystem::copy_file(folder / "system.caf", folder / "other.caf");
        EXPECT_TRUE(StretchStore::reusable(folder, "other", folder / "other.caf", settings).empty());
        record = storedSystem;
        record.stretches.back().toFrame += 48000 * 1000;
        ASSERT_TRUE(StretchStore::save(folder, "other", record));
        EXPECT_LT(StretchStore::reusable(folder, "other", folder / "other.caf", settings).size(),
                  storedSystem.stretches.size());
        std::filesystem::remove(folder / "other.caf");
        // Damaged records are recognised afresh.
        test::writeText(StretchStore::folderOf(folder) / "other.json", "{\"version\": 1, \"stretches\": [");
        EXPECT_TRUE(StretchStore::load(folder, "other").stretches.empty());
    }

    // The run recognises the microphone whole (its stretches are in English) and the system track
    // after its first stretch.
    std::filesystem::remove(scratch / "invocations");
    const auto result = transcribe(folder);
    ASSERT_EQ(result.exitStatus, 0) << result.standardError;
    const auto runs = invocations();
    ASSERT_EQ(runs.size(), 2U);
    EXPECT_EQ(runs[0].back(), (StretchStore::folderOf(folder) / "system-stretch.wav").string());
    EXPECT_EQ(runs[1].back(), (folder / "mic-16k.wav").string());
    const std::string transcript = readText(folder / "transcript.md");
    EXPECT_NE(transcript.find("Фраза ru"), std::string::npos) << transcript;
    EXPECT_EQ(transcript.find("Фраза en"), std::string::npos) << transcript;

    // A link planted for the store: the run's stretch goes into a folder of its own.
    const auto elsewhere = scratch / "elsewhere";
    std::filesystem::create_directories(elsewhere);
    const auto linked = makeRecording("linked", 150);
    std::filesystem::create_directory_symlink(elsewhere, StretchStore::folderOf(linked));
    ASSERT_GE(recogniseWhileRecorded(linked, "mic", plainCommand), 1U);
    EXPECT_TRUE(test::listFolder(elsewhere).empty());
    EXPECT_FALSE(std::filesystem::is_symlink(StretchStore::folderOf(linked)));
}

// Waits for `condition` at most `seconds`; whether it came true.
template <typename Condition>
bool eventually(Condition condition, double seconds = 30) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// Fields of /proc/PID/stat after the command's name, numbered as proc(5) numbers them.
std::vector<std::string> processStat(int pid) {
    const std::string stat = readText("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::vector<std::string> numbered = {"", "", ""};
    for (std::string field; fields >> field;)
        numbered.push_back(field);
    return numbered;
}

// A capture as a recording writes it: growing, its header current, its levels measured after each write.
class GrowingCapture {
public:
    explicit GrowingCapture(const std::filesystem::path& path)
        : m_writer(*AudioFileWriter::create(path, micFormat, HeaderUpdate::afterEveryWrite)),
          m_levels(std::make_shared<TrackLevels>(48000)) {}
    void append(const std::vector<float>& samples) {
        for (std::size_t at = 0; at < samples.size(); at += 48000) {
            const auto frames = static_cast<std::int64_t>(std::min<std::size_t>(48000, samples.size() - at));
            ASSERT_TRUE(m_writer.write(samples.data() + at, frames));
            m_levels->add(samples.data() + at, 1, frames);
        }
    }
    std::shared_ptr<const TrackLevels> levels() const { return m_levels; }

private:
    AudioFileWriter m_writer;
    std::shared_ptr<TrackLevels> m_levels;
};

TEST_F(IncrementalTranscription, BackgroundRecognitionKeepsUpWithTheRecordingAndItsTranscriptIsThatOfAPlainRun) {
    const auto plain = makeRecording("plain", 200);
    std::filesystem::remove(plain / "system.caf");
    ASSERT_EQ(transcribe(plain).exitStatus, 0);
    const auto command = commandOfPlainRun();
    const auto folder = scratch / "recorded" / plain.filename();
    std::filesystem::create_directories(folder);
    {
        GrowingCapture capture(folder / "mic.caf");
        BackgroundRecognition background(folder, {{"mic", folder / "mic.caf", capture.levels()}},
                                         [&] { return BackgroundRecogniser{test::whisperDouble(), command}; });
        const auto meeting = talk(200, 1, 12);
        // Ten seconds at a time, faster than real time: stretches queue up and none is lost.
        for (std::size_t at = 0; at < meeting.size(); at += 480000)
            capture.append({meeting.begin() + static_cast<std::ptrdiff_t>(at),
                            meeting.begin() + static_cast<std::ptrdiff_t>(std::min(meeting.size(), at + 480000))});
        const auto levels = capture.levels()->since(0);
        const auto ends = StretchPlanner::boundaries(levels);
        ASSERT_GE(ends.size(), 2U);
        // Done once no stretch, not even a short one, is left before the end. At the lowest
        // priority the stretches wait for a free core, which other tests running beside this one
        // may hold for a long while.
        const auto reached = [&] { return std::llround(background.recognisedSeconds() * 100); };
        ASSERT_TRUE(eventually(
            [&] { return !StretchPlanner::nextBoundary(levels, reached(), StretchPlanner::idleStretchWindows); }, 300))
            << background.stretchesRecognised() << " stretches, to " << background.recognisedSeconds() << " s";
        EXPECT_GE(reached(), ends.back());
        background.stop();
    }
    // Every stretch follows the last, ends in a pause and holds at least half a minute.
    const auto stored = StretchStore::load(folder, "mic").stretches;
    ASSERT_EQ(invocations().size(), stored.size());
    std::int64_t from = 0;
    for (const auto& stretch : stored) {
        EXPECT_EQ(stretch.fromFrame, from);
        EXPECT_GE(stretch.toFrame - stretch.fromFrame, StretchPlanner::idleStretchWindows * 480);
        from = stretch.toFrame;
    }
    std::filesystem::remove(scratch / "invocations");
    const auto run = transcribe(folder);
    ASSERT_EQ(run.exitStatus, 0) << run.standardError;
    EXPECT_EQ(invocations().size(), 1U);
    EXPECT_EQ(body(readText(folder / "transcript.md")), body(readText(plain / "transcript.md")));
}

TEST_F(IncrementalTranscription, BackgroundRecognitionRunsAtIdlePriorityAndStopEndsTheStretchUnderWay) {
    const auto folder = scratch / "2025-03-05 14-03-27";
    std::filesystem::create_directories(folder);
    GrowingCapture capture(folder / "mic.caf");
    const auto store = StretchStore::prepare(folder);
    ASSERT_TRUE(store);
    // The recogniser double holds on to its first stretch until told to go on.
    test::writeText(*store / "mic-stretch.wav.segments", "!wait " + (scratch / "never").string() + "\n");
    RecogniserCommand command{Paths::modelURL(), "ru", 1, {}, {}, {}};
    BackgroundRecognition background(folder, {{"mic", folder / "mic.caf", capture.levels()}},
                                     [&] { return BackgroundRecogniser{test::whisperDouble(), command}; });
    capture.append(talk(90, 1, 3));
    const auto pidFile = *store / "mic-stretch.wav.pid";
    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(pidFile) && !readText(pidFile).empty(); }));
    const int pid = std::stoi(readText(pidFile));
    const auto stat = processStat(pid);
    EXPECT_EQ(stat.at(41), std::to_string(SCHED_IDLE));
    EXPECT_EQ(stat.at(19), "19");

    // The double would give up waiting after 60 s; the stop ends it long before that.
    const auto stopping = std::chrono::steady_clock::now();
    background.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::seconds(30));
    EXPECT_NE(::kill(pid, 0), 0);
    EXPECT_EQ(background.stretchesRecognised(), 0);
    EXPECT_FALSE(std::filesystem::exists(*store / "mic-stretch.wav"));
    EXPECT_TRUE(StretchStore::load(folder, "mic").stretches.empty());
}

} // namespace
} // namespace zorvel
