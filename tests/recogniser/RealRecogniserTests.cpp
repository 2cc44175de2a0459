// Runs the built `zorvel --transcribe` with the real whisper-cli that scripts/setup built, on
// speech made by espeak-ng, with whisper.cpp's own test models and a random-weight model written
// here. The text such a model recognises is nonsense, but the recogniser's command line, its
// JSON, the timestamps, the filter and the tidy-up are all real.

#include "GgmlModels.h"
#include "TestAudio.h"
#include "TestEnvironment.h"
#include "model/ModelPaths.h"
#include "pipeline/StretchRecognition.h"
#include "pipeline/StretchStore.h"
#include "support/LogFile.h"
#include "support/ChildProcess.h"
#include "support/Settings.h"

#include <QSettings>
#include <gtest/gtest.h>
#include <regex>

namespace zorvel {
namespace {

using test::listFolder;
using test::readText;
using test::TemporaryFolder;

class RealRecogniser : public testing::Test {
protected:
    void SetUp() override {
        if (test::realWhisperDirectory().empty())
            GTEST_SKIP() << test::noRealWhisperReason;
        espeak = findInPath("espeak-ng");
        ffmpeg = findInPath("ffmpeg");
        if (!espeak || !ffmpeg)
            GTEST_SKIP() << "espeak-ng and ffmpeg are needed (scripts/setup installs them)";
        recording = scratch / "2025-03-05 14-03-27";
        std::filesystem::create_directories(recording);
        std::filesystem::create_directories(Paths::modelURL().parent_path());
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove(Paths::modelURL(), ignored);
        QSettings("Zorvel", "Zorvel").remove("recognitionModel");
        std::filesystem::remove(Paths::modelURL(), ignored);
    }

    // Russian speech by espeak-ng after `leadInMs` of silence, as the microphone capture.
    void speak(const std::string& text, int leadInMs = 0) {
        const auto spoken = scratch / "spoken.wav";
        const auto resampled = scratch / "resampled.wav";
        ASSERT_EQ(test::runProgram(*espeak, {"-v", "ru", "-w", spoken.string(), text}).exitStatus, 0);
        const auto converted =
            test::runProgram(*ffmpeg, {"-nostdin", "-loglevel", "error", "-y", "-i", spoken.string(), "-af",
                                       "adelay=" + std::to_string(leadInMs) + ":all=1,apad=pad_dur=1", "-ar",
                                       "48000", "-ac", "1", "-c:a", "pcm_f32le", resampled.string()});
        ASSERT_EQ(converted.exitStatus, 0) << converted.standardError;
        test::writeAudio(recording / "mic.caf", {48000, 1, SampleFormat::float32},
                         test::readAudio(resampled));
    }

    // The resource directory of the build itself, found beside the executable, unless one is named.
    test::ProgramRun transcribe(const std::filesystem::path& resourceDirectory = {}) {
        std::vector<std::string> environment;
        if (!resourceDirectory.empty())
            environment.push_back("ZORVEL_RESOURCE_DIR=" + resourceDirectory.string());
        return test::runProgram(test::zorvelExecutable(), {"--transcribe", recording.string()}, environment);
    }

    // A resource directory with the real recogniser and, when given, a voice-activity model.
    std::filesystem::path resourcesWith(const std::filesystem::path& vadModel = {}) {
        std::filesystem::create_directories(resources / "bin");
        std::filesystem::create_symlink(test::realWhisperDirectory() / "bin" / "whisper-cli",
                                        resources / "bin" / "whisper-cli");
        if (!vadModel.empty()) {
            std::filesystem::create_directories(resources / "models");
            std::filesystem::copy_file(vadModel, resources / "models" / vadModel.filename());
        }
        return resources.path();
    }

    // Each "**Я** [hh:mm:ss]: text" line of the transcript as (seconds, text).
    std::vector<std::pair<int, std::string>> utterances() {
        std::vector<std::pair<int, std::string>> found;
        const std::string transcript = readText(recording / "transcript.md");
        const std::regex line(R"(\*\*Я\*\* \[(\d\d):(\d\d):(\d\d)\]: ([^\n]+))");
        for (std::sregex_iterator it(transcript.begin(), transcript.end(), line), end; it != end; ++it)
            found.emplace_back(std::stoi((*it)[1]) * 3600 + std::stoi((*it)[2]) * 60 + std::stoi((*it)[3]),
                               (*it)[4]);
        return found;
    }

    std::filesystem::path vadModel() const {
        return test::realWhisperDirectory() / "models" / "ggml-silero-v6.2.0.bin";
    }
    std::filesystem::path weightlessModel() const {
        return test::realWhisperDirectory() / "models" / "for-tests-ggml-tiny.bin";
    }

    std::optional<std::filesystem::path> espeak, ffmpeg;
    TemporaryFolder scratch{"scratch"};
    TemporaryFolder resources{"resources"};
    std::filesystem::path recording;
};

TEST_F(RealRecogniser, SpeechAfterSilenceIsFoundWithTheBuildsOwnVoiceActivityModelInTheOriginalTimeline) {
    speak("Добрый день. Это проверка распознавания речи, мы записываем встречу.", 4000);
    test::writeRandomWhisperModel(Paths::modelURL());

    const auto run = transcribe();
    ASSERT_EQ(run.exitStatus, 0) << run.standardError;
    EXPECT_EQ(run.standardOutput, (recording / "transcript.md").string() + "\n");
    EXPECT_EQ(listFolder(recording), (std::vector<std::string>{"audio.m4a", "transcript.md"}));
    const auto found = utterances();
    ASSERT_FALSE(found.empty()) << readText(recording / "transcript.md");
    // The voice-activity model cut the silence away, and the times still count from the start.
    EXPECT_GE(found.front().first, 3);
    EXPECT_TRUE(std::regex_search(found.front().second, std::regex("[a-z]{2}"))) << found.front().second;
}

TEST_F(RealRecogniser, WithoutAVoiceActivityModelTheWholeTrackIsRecognised) {
    speak("Добрый день. Это проверка распознавания речи.");
    test::writeRandomWhisperModel(Paths::modelURL());

    const auto run = transcribe(resourcesWith());
    ASSERT_EQ(run.exitStatus, 0) << run.standardError;
    EXPECT_EQ(listFolder(recording), (std::vector<std::string>{"audio.m4a", "transcript.md"}));
    EXPECT_FALSE(utterances().empty()) << readText(recording / "transcript.md");
}

// With the quantised model chosen, the run recognises with that file: the default one beside it
// is damaged, and would stop the run. whisper-cli takes the q8_0 blocks as the quantizer writes them.
TEST_F(RealRecogniser, ChosenQuantisedModelIsTheOneRecognisedWith) {
    speak("Добрый день. Это проверка распознавания речи.");
    test::writeText(Paths::modelURL(), "<!DOCTYPE html><html>Not found</html>");
    Settings::setRecognitionModel("ggml-large-v3-turbo-q8_0.bin");
    test::WhisperModelShape shape;
    shape.weights = test::WeightType::q8_0;
    test::writeRandomWhisperModel(Paths::modelURL(), shape);

    const auto run = transcribe(resourcesWith());
    ASSERT_EQ(run.exitStatus, 0) << run.standardError;
    EXPECT_EQ(listFolder(recording), (std::vector<std::string>{"audio.m4a", "transcript.md"}));
    const auto found = utterances();
    ASSERT_FALSE(found.empty()) << readText(recording / "transcript.md");
    EXPECT_TRUE(std::regex_search(found.front().second, std::regex("[a-z]{2}"))) << found.front().second;
}

TEST_F(RealRecogniser, WeightlessModelFindsNoSpeechAndEveryFileStays) {
    speak("Добрый день.", 500);
    std::filesystem::copy_file(weightlessModel(), Paths::modelURL());

    const auto run = transcribe();
    ASSERT_EQ(run.exitStatus, 0) << run.standardError;
    EXPECT_TRUE(readText(recording / "transcript.md").ends_with("\n\n_Распознанной речи нет._"));
    EXPECT_EQ(listFolder(recording), (std::vector<std::string>{"mic-16k.wav", "mic.caf", "mic.json",
                                                               "transcript.md", "whisper.log"}));
    EXPECT_NE(readText(recording / "whisper.log")
                  .find("[zorvel] Речь не распознана — исходники и лог оставлены на месте\n"),
              std::string::npos);
}

TEST_F(RealRecogniser, DamagedVoiceActivityModelIsLeftOutAndSaidSoInTheLog) {
    speak("Добрый день.", 500);
    std::filesystem::copy_file(weightlessModel(), Paths::modelURL());
    const auto resourceDirectory = resourcesWith(vadModel());
    const auto damaged = resourceDirectory / "models" / "ggml-silero-v6.2.0.bin";
    test::truncateFile(damaged, std::filesystem::file_size(damaged) / 2);

    // With the damaged model on its command line whisper-cli would exit 10.
    const auto run = transcribe(resourceDirectory);
    ASSERT_EQ(run.exitStatus, 0) << run.standardError;
    const std::string log = readText(recording / "whisper.log");
    EXPECT_NE(log.find("[zorvel] Модель определения речи " + damaged.string() + " повреждена"),
              std::string::npos)
        << log;
}

TEST_F(RealRecogniser, DamagedModelFailsWithAClearMessageAndLeavesTheFolderUntouched) {
    speak("Добрый день.");
    const std::string message = "Файл модели распознавания повреждён: " + Paths::modelURL().string() +
                                ". Выберите «Скачать модель» в меню Zorvel, чтобы скачать её заново.\n";
    struct Damage {
        const char* name;
        std::function<void(const std::filesystem::path&)> apply;
    };
    const std::vector<Damage> damages = {
        {"empty",
         [](const auto& model) {
             test::writeText(model, "");
         }},
        {"a web page",
         [](const auto& model) {
             test::writeText(model, "<!DOCTYPE html><html>Not found</html>");
         }},
        {"bad magic",
         [](const auto& model) {
             test::overwriteStart(model, "GGUF");
         }},
        {"cut inside the header",
         [](const auto& model) {
             test::truncateFile(model, 30);
         }},
        {"cut inside the tensors",
         [](const auto& model) {
             test::truncateFile(model, std::filesystem::file_size(model) - 1000);
         }},
    };
    for (const auto& [name, apply] : damages) {
        SCOPED_TRACE(name);
        test::writeRandomWhisperModel(Paths::modelURL());
        apply(Paths::modelURL());
        const auto run = transcribe();
        EXPECT_EQ(run.exitStatus, 1);
        EXPECT_EQ(run.standardError, message);
        EXPECT_EQ(listFolder(recording), (std::vector<std::string>{"mic.caf"}));
    }
}

// Two stretches of a capture recognised apart, as during a recording, each with its own speech:
// the real recogniser's segments come back in the capture's time, within their stretch, and the
// run at the stop takes them as they are, with nothing left to recognise.
TEST_F(RealRecogniser, StretchesRecognisedApartKeepTheCapturesTimeAndMakeTheTranscript) {
    const auto spoken = scratch / "spoken.wav";
    const auto speech = [&](const std::string& text) {
        EXPECT_EQ(test::runProgram(*espeak, {"-v", "ru", "-w", spoken.string(), text}).exitStatus, 0);
        const auto resampled = scratch / "resampled.wav";
        EXPECT_EQ(test::runProgram(*ffmpeg, {"-nostdin", "-loglevel", "error", "-y", "-i", spoken.string(), "-ar",
                                             "48000", "-ac", "1", "-c:a", "pcm_f32le", resampled.string()})
                      .exitStatus,
                  0);
        return test::readAudio(resampled);
    };
    constexpr std::int64_t rate = 48000;
    constexpr std::int64_t cut = 60 * rate;
    std::vector<float> capture(static_cast<std::size_t>(75 * rate), 0.0F);
    const auto first = speech("Добрый день. Начинаем встречу.");
    const auto second = speech("Спасибо, на сегодня всё.");
    std::copy(first.begin(), first.end(), capture.begin() + 4 * rate);
    std::copy(second.begin(), second.end(), capture.begin() + 66 * rate);
    test::writeAudio(recording / "mic.caf", {48000, 1, SampleFormat::float32}, capture);
    test::writeRandomWhisperModel(Paths::modelURL());
    const auto resourceDirectory = resourcesWith(vadModel());

    const RecogniserCommand command{Paths::modelURL(), "ru", 2, {}, resourceDirectory / "models" / vadModel().filename(), {}};
    auto log = LogFile::create(scratch / "stretches.log");
    ASSERT_TRUE(log);
    const auto whisper = test::realWhisperDirectory() / "bin" / "whisper-cli";
    const auto capturePath = recording / "mic.caf";
    StretchRecord record{48000, 1, {}};
    for (const auto& [from, to] : {std::pair{std::int64_t{0}, cut}, std::pair{cut, std::int64_t(capture.size())}}) {
        auto stretch = recogniseStretch(recording, "mic", capturePath, from, to, whisper, command, *log);
        ASSERT_TRUE(stretch) << stretch.error().description() << readText(scratch / "stretches.log");
        ASSERT_FALSE(stretch->segments.empty()) << readText(scratch / "stretches.log");
        for (const auto& segment : stretch->segments) {
            EXPECT_GE(segment.from, from * 1000 / rate + 3000) << segment.text;
            EXPECT_LE(segment.to, to * 1000 / rate) << segment.text;
            EXPECT_LE(segment.from, segment.to);
        }
        record.stretches.push_back(std::move(*stretch));
    }
    ASSERT_TRUE(StretchStore::save(recording, "mic", record));

    const auto run = transcribe(resourceDirectory);
    ASSERT_EQ(run.exitStatus, 0) << run.standardError;
    EXPECT_EQ(listFolder(recording), (std::vector<std::string>{"audio.m4a", "transcript.md"}));
    const auto found = utterances();
    ASSERT_GE(found.size(), 2U) << readText(recording / "transcript.md");
    EXPECT_GE(found.front().first, 3);
    EXPECT_LT(found.front().first, 60);
    EXPECT_GE(found.back().first, 65);
    EXPECT_TRUE(std::regex_search(found.back().second, std::regex("[a-z]{2}"))) << found.back().second;
}

} // namespace
} // namespace zorvel
