// Runs the built `zorvel --transcribe` on real folders, with real ffmpeg and the whisper-cli
// test double as the recogniser.

#include "SyntheticMeeting.h"
#include "TranscribeFixture.h"
#include "pipeline/StretchStore.h"
#include "pipeline/Transcriber.h"
#include "support/ChildProcess.h"
#include "support/Settings.h"

#include <algorithm>
#include <fstream>
#include <map>

namespace zorvel {
namespace {

using test::readText;
using test::TemporaryFolder;
using test::writeText;

TEST_F(TranscribeCommand, MissingFolderOperandIsStatusTwoAndTouchesNothing) {
    for (const auto& arguments : std::vector<std::vector<std::string>>{{"--transcribe"}, {"--mic-test", "--transcribe"}}) {
        const auto run = test::runProgram(test::zorvelExecutable(), arguments);
        EXPECT_EQ(run.exitStatus, 2);
        EXPECT_EQ(run.standardError, "Укажите папку записи\n");
        EXPECT_EQ(run.standardOutput, "");
    }
}

TEST_F(TranscribeCommand, MicrophoneOnlyEndsWithTranscriptAndCompressedAudio) {
    writeMic(0.3F, 4.0);
    recognise("mic", "100 900  Да, слышно.\n1000 1500 Субтитры сделал DimaTorzok\n");
    const auto run = transcribe(recording);
    ASSERT_EQ(run.exitStatus, 0) << run.standardError;
    EXPECT_EQ(run.standardOutput, (recording / "transcript.md").string() + "\n");
    EXPECT_EQ(run.standardError, "");
    EXPECT_EQ(files(), (std::vector<std::string>{"audio.m4a", "transcript.md"}));
    EXPECT_NE(readText(recording / "transcript.md").find("\n\n**Я** [00:00:00]: Да, слышно.\n"), std::string::npos);

    const auto runs = invocations();
    ASSERT_EQ(runs.size(), 1U);
    const std::vector<std::string> expected = {"-m",
                                               Paths::modelURL().string(),
                                               "-l",
                                               "ru",
                                               "-t",
                                               std::to_string(std::max(availableProcessors() - 2, 4)),
                                               "-oj",
                                               "-of",
                                               (recording / "mic").string(),
                                               "-np",
                                               "--suppress-nst",
                                               (recording / "mic-16k.wav").string()};
    EXPECT_EQ(runs[0], expected);

    const std::string facts = probe(recording / "audio.m4a");
    if (facts.empty())
        GTEST_SKIP() << "ffprobe is not installed";
    EXPECT_NE(facts.find("codec_name=aac"), std::string::npos) << facts;
    EXPECT_NE(facts.find("sample_rate=16000"), std::string::npos) << facts;
    EXPECT_NE(facts.find("channels=1"), std::string::npos) << facts;
    EXPECT_NEAR(probedValue(facts, "duration"), 4.0, 0.1) << facts;
    const double bitRate = probedValue(facts, "bit_rate");
    EXPECT_GT(bitRate, 24000) << facts;
    EXPECT_LT(bitRate, 48000) << facts;
}

TEST_F(TranscribeCommand, SystemTrackBeforeMicrophoneAndOtherPartyFirstOnEqualTimes) {
    writeSystem();
    writeMic();
    recognise("system", "0 2400 Добрый день.\n2600 5000 Слышно меня?\n");
    recognise("mic", "0 900 Да, слышно.\n");
    const auto run = transcribe(recording);
    ASSERT_EQ(run.exitStatus, 0) << run.standardError;
    const auto runs = invocations();
    ASSERT_EQ(runs.size(), 2U);
    EXPECT_EQ(runs[0][8], (recording / "system").string());
    EXPECT_EQ(runs[1][8], (recording / "mic").string());
    EXPECT_EQ(readText(recording / "transcript.md").substr(readText(recording / "transcript.md").find("\n\n") + 2),
              "**Собеседник** [00:00:00]: Добрый день.\n\n**Я** [00:00:00]: Да, слышно.\n\n"
              "**Собеседник** [00:00:02]: Слышно меня?\n");
    EXPECT_EQ(files(), (std::vector<std::string>{"audio.m4a", "transcript.md"}));
    EXPECT_NEAR(probedValue(probe(recording / "audio.m4a"), "duration"), 3.0, 0.1);
}

TEST_F(TranscribeCommand, RerunOnMixedAudioKeepsItAndLabelsTheMeeting) {
    writeMic();
    recognise("mic", "0 900 Первый проход.\n");
    ASSERT_EQ(transcribe(recording).exitStatus, 0);
    const std::string audio = readText(recording / "audio.m4a");

    recognise("audio", "0 900 Второй проход.\n");
    const auto run = transcribe(recording);
    ASSERT_EQ(run.exitStatus, 0) << run.standardError;
    EXPECT_EQ(files(), (std::vector<std::string>{"audio.m4a", "transcript.md"}));
    EXPECT_EQ(readText(recording / "audio.m4a"), audio);
    EXPECT_NE(readText(recording / "transcript.md").find("**Встреча** [00:00:00]: Второй проход.\n"), std::string::npos);
}

TEST_F(TranscribeCommand, FolderWithoutAudioFailsAndKeepsAnEmptyLog) {
    const auto run = transcribe(recording);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.standardError, "В папке записи нет аудиофайлов.\n");
    EXPECT_EQ(run.standardOutput, "");
    EXPECT_EQ(files(), (std::vector<std::string>{"whisper.log"}));
    EXPECT_EQ(readText(recording / "whisper.log"), "");
}

TEST_F(TranscribeCommand, MissingOrDamagedModelOrNoRecogniserLeavesTheFolderUntouched) {
    writeMic();
    std::filesystem::remove(Paths::modelURL());
    auto run = transcribe(recording);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.standardError, "Модель распознавания не скачана. Выберите «Скачать модель» в меню Zorvel.\n");
    EXPECT_EQ(files(), (std::vector<std::string>{"mic.caf"}));

    // A file that is no whole model is named as damaged, with the way to get it again.
    writeText(Paths::modelURL(), "<!DOCTYPE html><title>Sign in</title>");
    run = transcribe(recording);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.standardError, "Файл модели распознавания повреждён: " + Paths::modelURL().string() +
                                     ". Выберите «Скачать модель» в меню Zorvel, чтобы скачать её заново.\n");
    EXPECT_EQ(files(), (std::vector<std::string>{"mic.caf"}));

    test::writeWeightlessWhisperModel(Paths::modelURL());
    for (const char* system :
         {"/opt/homebrew/bin/whisper-cli", "/usr/local/bin/whisper-cli", "/opt/homebrew/bin/whisper-cpp",
          "/usr/local/bin/whisper-cpp", "/usr/bin/whisper-cli", "/bin/whisper-cli",
          "/home/linuxbrew/.linuxbrew/bin/whisper-cli"})
        if (isExecutableFile(system))
            GTEST_SKIP() << "a recogniser is installed at " << system;
    std::filesystem::remove(resources / "bin" / "whisper-cli");
    extraEnvironment = {"PATH=/usr/bin:/bin"};
    run = transcribe(recording);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(
        run.standardError,
        "Не найден whisper-cli. Соберите его командой scripts/setup в папке исходников Zorvel или установите "
        "whisper-cli так, чтобы он был в PATH, в /usr/local/bin, /usr/bin или ~/.local/bin.\n");
    EXPECT_EQ(files(), (std::vector<std::string>{"mic.caf"}));

    // The user's own ~/.local/bin is one of the places looked in.
    const auto local = std::filesystem::path(std::getenv("HOME")) / ".local" / "bin";
    std::filesystem::create_directories(local);
    std::filesystem::create_symlink(test::whisperDouble(), local / "whisper-cli");
    recognise("mic", "0 900 Нашёлся.\n");
    run = transcribe(recording);
    std::filesystem::remove(local / "whisper-cli");
    EXPECT_EQ(run.exitStatus, 0) << run.standardError;
}

TEST_F(TranscribeCommand, RecogniserOnThePathIsFoundButNeverInTheCurrentFolder) {
    if (findInPath("whisper-cli") || isExecutableFile("/usr/local/bin/whisper-cli") ||
        isExecutableFile("/usr/bin/whisper-cli") || isExecutableFile("/bin/whisper-cli"))
        GTEST_SKIP() << "a recogniser is installed";
    writeMic();
    std::filesystem::remove(resources / "bin" / "whisper-cli");
    // A folder the run starts in, holding a whisper-cli of its own and one in a relative "bin".
    const auto current = scratch / "current";
    std::filesystem::create_directories(current / "bin");
    std::filesystem::create_symlink(test::whisperDouble(), current / "whisper-cli");
    std::filesystem::create_symlink(test::whisperDouble(), current / "bin" / "whisper-cli");
    const auto installed = scratch / "installed bin";
    std::filesystem::create_directories(installed);
    std::filesystem::create_symlink(test::whisperDouble(), installed / "whisper-cli");

    extraEnvironment = {"PATH=:.:bin:/usr/bin:/bin"};
    auto run = transcribe({recording.string()}, current);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_TRUE(run.standardError.starts_with("Не найден whisper-cli.")) << run.standardError;

    extraEnvironment = {"PATH=/nonexistent:" + installed.string() + ":/usr/bin:/bin"};
    recognise("mic", "0 900 С пути.\n");
    run = transcribe({recording.string()}, current);
    EXPECT_EQ(run.exitStatus, 0) << run.standardError;
    EXPECT_NE(readText(recording / "transcript.md").find("С пути."), std::string::npos);
}

TEST_F(TranscribeCommand, SilentTrackIsSkippedButStillMixed) {
    writeSystem(3.0);
    test::writeAudio(recording / "mic.caf", micFormat, std::vector<float>(48000 * 5, 0.0F));
    recognise("system", "0 2400 Добрый день.\n");
    const auto run = transcribe(recording);
    ASSERT_EQ(run.exitStatus, 0) << run.standardError;
    EXPECT_EQ(invocations().size(), 1U);
    EXPECT_EQ(files(), (std::vector<std::string>{"audio.m4a", "transcript.md"}));
    EXPECT_NEAR(probedValue(probe(recording / "audio.m4a"), "duration"), 5.0, 0.1);
}

TEST_F(TranscribeCommand, NoSpeechKeepsEveryFileAndSaysSoInTheLog) {
    writeSystem();
    test::writeAudio(recording / "mic.caf", micFormat, std::vector<float>(48000, 0.0F));
    const auto run = transcribe(recording);
    ASSERT_EQ(run.exitStatus, 0) << run.standardError;
    EXPECT_EQ(run.standardOutput, (recording / "transcript.md").string() + "\n");
    EXPECT_EQ(files(), (std::vector<std::string>{"mic-16k.wav", "mic.caf", "system-16k.wav", "system.caf", "system.json",
                                                 "transcript.md", "whisper.log"}));
    EXPECT_TRUE(readText(recording / "transcript.md").ends_with("\n\n_Распознанной речи нет._"));
    const std::string log = readText(recording / "whisper.log");
    EXPECT_NE(log.find("[zorvel] Дорожка mic молчит (пик 0.0) — пропущена\n"), std::string::npos) << log;
    EXPECT_TRUE(log.ends_with("[zorvel] Речь не распознана — исходники и лог оставлены на месте\n")) << log;
    // The recogniser's own output lands in the same log.
    EXPECT_NE(log.find("whisper_init_from_file_with_params_no_state"), std::string::npos) << log;
}

TEST_F(TranscribeCommand, FailingToolsAreNamedAndTheirOutputKept) {
    writeMic();
    recognise("mic", "!exit 1\n");
    auto run = transcribe(recording);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.standardError, "whisper-cli завершился с ошибкой (код 1). Подробности в whisper.log в папке записи.\n");
    EXPECT_EQ(run.standardOutput, "");
    EXPECT_EQ(files(), (std::vector<std::string>{"mic-16k.wav", "mic.caf", "whisper.log"}));
    EXPECT_NE(readText(recording / "whisper.log").find("simulated failure"), std::string::npos);

    // Killed by a signal is an outcome of its own, named with the signal.
    recognise("mic", "!signal 6\n");
    run = transcribe(recording);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.standardError, "whisper-cli аварийно завершился (сигнал 6, Aborted). Подробности в whisper.log в "
                                 "папке записи.\n");

    // A capture that is not audio at all: the converter fails and is named by its file name.
    writeText(recording / "mic.caf", "not audio");
    run = transcribe(recording);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.standardError, "ffmpeg завершился с ошибкой (код 1). Подробности в whisper.log в папке записи.\n");
    EXPECT_NE(readText(recording / "whisper.log").find("mic.caf"), std::string::npos);
}

TEST_F(TranscribeCommand, StaleRecogniserOutputIsNeverTakenForThisRun) {
    writeMic();
    writeText(recording / "mic.json", R"({"transcription": [{"offsets": {"from": 0, "to": 900}, "text": "Старое"}]})");
    recognise("mic", "!nojson\n");
    const auto run = transcribe(recording);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.standardError, "whisper-cli не создал файл «" + (recording / "mic.json").string() +
                                     "». Подробности в whisper.log в папке записи.\n");
    EXPECT_FALSE(std::filesystem::exists(recording / "transcript.md"));
    EXPECT_TRUE(std::filesystem::exists(recording / "mic.caf"));
}

// Broken UTF-8 is mended; control characters (NUL, tab, escape, carriage return, bell) become
// spaces, so that the transcript holds only text.
TEST_F(TranscribeCommand, RawBytesInRecogniserOutputBecomeText) {
    writeMic();
    recognise("mic", "0 900  Приве\\xD1\n900 1800 \\x82 как\\tдела\\x00 и\\x1b[31m\\x0dвсё\\x07\n");
    const auto run = transcribe(recording);
    ASSERT_EQ(run.exitStatus, 0) << run.standardError;
    EXPECT_TRUE(readText(recording / "transcript.md").ends_with("\n\n**Я** [00:00:00]: Привет как дела  и [31m всё\n"))
        << readText(recording / "transcript.md");
}

TEST_F(TranscribeCommand, VoiceActivityModelAddsThreeArguments) {
    std::filesystem::create_directories(resources / "models");
    test::writeRandomVoiceActivityModel(resources / "models" / "ggml-silero-v5.1.2.bin");
    writeMic();
    recognise("mic", "0 900 Голос.\n");
    ASSERT_EQ(transcribe(recording).exitStatus, 0);
    const auto runs = invocations();
    ASSERT_EQ(runs.size(), 1U);
    ASSERT_EQ(runs[0].size(), 15U);
    EXPECT_EQ(std::vector<std::string>(runs[0].begin() + 11, runs[0].end()),
              (std::vector<std::string>{"--vad", "--vad-model", (resources / "models" / "ggml-silero-v5.1.2.bin").string(),
                                        (recording / "mic-16k.wav").string()}));
}

TEST_F(TranscribeCommand, VoiceActivityModelNewestFirstShippedBeforeDownloadedDamagedPassedOver) {
    const auto shipped = [&](const std::string& version) {
        return resources / "models" / ("ggml-silero-v" + version + ".bin");
    };
    const auto downloaded = [](const std::string& version) {
        return Paths::modelURL().parent_path() / ("ggml-silero-v" + version + ".bin");
    };
    enum class Kind { whole, damaged };
    struct Case {
        const char* name;
        std::vector<std::pair<std::filesystem::path, Kind>> files;
        std::filesystem::path expected; // empty: no voice-activity model
        std::vector<std::filesystem::path> reportedDamaged;
    };
    const std::vector<Case> cases = {
        {"the downloaded one alone", {{downloaded("6.2.0"), Kind::whole}}, downloaded("6.2.0"), {}},
        {"the newer version wins over the shipped older one",
         {{shipped("5.1.2"), Kind::whole}, {downloaded("6.2.0"), Kind::whole}},
         downloaded("6.2.0"),
         {}},
        {"the shipped one before the downloaded one of the same version",
         {{shipped("6.2.0"), Kind::whole}, {downloaded("6.2.0"), Kind::whole}},
         shipped("6.2.0"),
         {}},
        {"a damaged newer one is passed over",
         {{shipped("6.2.0"), Kind::damaged}, {shipped("5.1.2"), Kind::whole}},
         shipped("5.1.2"),
         {shipped("6.2.0")}},
        {"only damaged ones: none",
         {{shipped("6.2.0"), Kind::damaged}, {downloaded("5.1.2"), Kind::damaged}},
         {},
         {shipped("6.2.0"), downloaded("5.1.2")}},
    };
    writeMic();
    for (const auto& [name, placed, expected, reportedDamaged] : cases) {
        SCOPED_TRACE(name);
        for (const auto& [path, kind] : placed) {
            std::filesystem::create_directories(path.parent_path());
            test::writeRandomVoiceActivityModel(path);
            if (kind == Kind::damaged)
                test::truncateFile(path, std::filesystem::file_size(path) - 2);
        }
        std::filesystem::remove(scratch / "invocations");
        // No speech: the log stays for reading.
        ASSERT_EQ(transcribe(recording).exitStatus, 0);
        const auto runs = invocations();
        ASSERT_EQ(runs.size(), 1u);
        if (expected.empty()) {
            EXPECT_EQ(runs[0].size(), 12u);
        } else {
            ASSERT_EQ(runs[0].size(), 15u);
            EXPECT_EQ(runs[0][13], expected.string());
        }
        const std::string log = readText(recording / "whisper.log");
        for (const auto& damaged : reportedDamaged)
            EXPECT_NE(log.find("[zorvel] Модель определения речи " + damaged.string() +
                               " повреждена (файл обрывается в тензоре «_model.stft.forward_basis_buffer») — "
                               "не используется\n"),
                      std::string::npos)
                << log;
        for (const auto& [path, kind] : placed)
            std::filesystem::remove(path);
    }
}

TEST_F(TranscribeCommand, LanguageFromOperandElseSettingElseRussian) {
    writeMic();
    ASSERT_EQ(transcribe({recording.string(), "en"}).exitStatus, 0);
    writeMic();
    Settings::setTranscriptionLanguage("de");
    ASSERT_EQ(transcribe(recording).exitStatus, 0);
    writeMic();
    ASSERT_EQ(transcribe({recording.string(), "auto"}).exitStatus, 0);
    const auto runs = invocations();
    ASSERT_EQ(runs.size(), 3U);
    EXPECT_EQ(runs[0][3], "en");
    EXPECT_EQ(runs[1][3], "de");
    EXPECT_EQ(runs[2][3], "auto");
}

TEST_F(TranscribeCommand, AwkwardFolderNamesAndTilde) {
    const std::string awkward = "-тест 'кавычки\" и пробелы: $HOME `x`";
    std::filesystem::create_directories(scratch / awkward);
    writeMic(0.3F, 2.0, scratch / awkward);
    recognise("mic", "0 900 Странная папка.\n", scratch / awkward);
    // Relative to the working directory, and starting with a dash.
    auto run = transcribe({awkward}, scratch.path());
    ASSERT_EQ(run.exitStatus, 0) << run.standardError;
    EXPECT_EQ(run.standardOutput, (scratch / awkward / "transcript.md").string() + "\n");
    EXPECT_EQ(files(scratch / awkward), (std::vector<std::string>{"audio.m4a", "transcript.md"}));

    const auto home = std::filesystem::path(std::getenv("HOME"));
    std::filesystem::create_directories(home / "Записи" / "встреча");
    writeMic(0.3F, 2.0, home / "Записи" / "встреча");
    recognise("mic", "0 900 Дома.\n", home / "Записи" / "встреча");
    run = transcribe(std::vector<std::string>{"~/Записи/встреча"});
    ASSERT_EQ(run.exitStatus, 0) << run.standardError;
    EXPECT_EQ(run.standardOutput, (home / "Записи" / "встреча" / "transcript.md").string() + "\n");
    std::filesystem::remove_all(home / "Записи");
}

TEST_F(TranscribeCommand, MissingFolderFailsOnItsLog) {
    const auto run = transcribe(scratch / "absent");
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_NE(run.standardError.find((scratch / "absent" / "whisper.log").string()), std::string::npos)
        << run.standardError;
    EXPECT_FALSE(std::filesystem::exists(scratch / "absent"));
}

TEST_F(TranscribeCommand, CaptureCutOffByAKillStillTranscribes) {
    // A capture whose writer never closed it: copied while still open, as a crash leaves it.
    {
        auto writer = AudioFileWriter::create(scratch / "open.caf", micFormat, HeaderUpdate::afterEveryWrite);
        ASSERT_TRUE(writer);
        const auto samples = test::noise(48000 * 3, 1, 0.3F);
        for (size_t at = 0; at < samples.size(); at += 4096)
            ASSERT_TRUE(writer->write(samples.data() + at, static_cast<std::int64_t>(std::min<size_t>(4096, samples.size() - at))));
        std::filesystem::copy_file(scratch / "open.caf", recording / "mic.caf");
    }
    recognise("mic", "0 2900 Запись оборвалась.\n");
    const auto run = transcribe(recording);
    ASSERT_EQ(run.exitStatus, 0) << run.standardError;
    EXPECT_NEAR(probedValue(probe(recording / "audio.m4a"), "duration"), 3.0, 0.1);
}

// The tray shows this progress: each track as it begins, its length once converted, how far the
// recogniser's printed segments reach, and the utterances kept when it is done.
TEST_F(TranscribeCommand, ProgressFollowsEachTrackAndTheRecognisersLines) {
    writeSystem(3.0);
    writeMic(0.0F, 2.0);
    recognise("system", "0 1000 Раз\n1200 2500 Два три\n");
    ::setenv("ZORVEL_RESOURCE_DIR", resources.path().c_str(), 1);
    std::vector<std::tuple<std::string, int, int, double, double, std::size_t>> reports;
    const auto transcript = Transcriber("ru").transcribe(recording, std::chrono::system_clock::now(),
                                                         [&](const TranscriptionProgress& report) {
                                                             reports.emplace_back(report.speaker, report.trackIndex,
                                                                                  report.trackCount,
                                                                                  report.recognisedSeconds,
                                                                                  report.trackSeconds,
                                                                                  report.utterances);
                                                         });
    ::unsetenv("ZORVEL_RESOURCE_DIR");
    ASSERT_TRUE(transcript) << transcript.error().description();
    const decltype(reports) expected = {
        {"Собеседник", 1, 2, 0.0, 0.0, 0}, {"Собеседник", 1, 2, 0.0, 3.0, 0}, {"Собеседник", 1, 2, 2.5, 3.0, 0},
        {"Собеседник", 1, 2, 3.0, 3.0, 2}, {"Я", 2, 2, 0.0, 0.0, 2},          {"Я", 2, 2, 2.0, 2.0, 2},
    };
    EXPECT_EQ(reports, expected);
}

// The texts of the transcript's paragraphs of one speaker, joined by line feeds.
std::string paragraphsOf(const std::string& transcript, const std::string& speaker) {
    std::string texts;
    for (const auto& line : split(transcript, '\n'))
        if (line.starts_with("**" + speaker + "** ["))
            texts += line.substr(line.find("]: ") + 3) + "\n";
    return texts;
}

class TranscribeMeeting : public TranscribeCommand {
protected:
    // A meeting without headphones: the other side 12 dB down in the microphone, 100 ms late.
    void writeMeeting(bool withSystemTrack = true) {
        constexpr AudioFormat format{16000, 1, SampleFormat::float32};
        if (withSystemTrack) {
            test::writeAudio(recording / "system.caf", format, meeting.system);
            recognise("system", test::recognisedLines(meeting.systemLines));
        }
        test::writeAudio(recording / "mic.caf", format, meeting.mic);
        recognise("mic", test::recognisedLines(meeting.micLines));
    }

    // How many of `lines` of each kind made it into the speaker's paragraphs.
    std::map<test::Truth, int> kept(const std::vector<test::MeetingLine>& lines, const std::string& speaker) {
        const std::string texts = paragraphsOf(readText(recording / "transcript.md"), speaker);
        std::map<test::Truth, int> counts;
        size_t at = 0;
        for (const auto& line : lines) {
            // Texts repeat over the meeting, so each is looked for after the previous one.
            const auto found = texts.find(line.text, at);
            if (found != std::string::npos) {
                ++counts[line.truth];
                at = found + line.text.size();
            }
        }
        return counts;
    }
    std::map<test::Truth, int> keptOnTheMicrophone() { return kept(meeting.micLines, "Я"); }

    int count(test::Truth truth) {
        return static_cast<int>(std::count_if(meeting.micLines.begin(), meeting.micLines.end(),
                                              [&](const test::MeetingLine& line) { return line.truth == truth; }));
    }

    const test::Meeting meeting = test::syntheticMeeting({true, 12.0, 100});
};

TEST_F(TranscribeMeeting, EchoOfTheOtherSideIsDroppedFromTheMicrophoneOnly) {
    writeMeeting();
    const auto run = transcribe(recording);
    ASSERT_EQ(run.exitStatus, 0) << run.standardError;
    auto mine = keptOnTheMicrophone();
    EXPECT_LE(mine[test::Truth::echo], count(test::Truth::echo) / 20) << readText(recording / "transcript.md");
    EXPECT_EQ(mine[test::Truth::own], count(test::Truth::own));
    EXPECT_EQ(mine[test::Truth::doubleTalk], count(test::Truth::doubleTalk));
    // The other side's own lines all stay.
    EXPECT_EQ(kept(meeting.systemLines, "Собеседник")[test::Truth::own], static_cast<int>(meeting.systemLines.size()));
}

TEST_F(TranscribeMeeting, EchoIsDroppedAlikeWhenBothTracksWereRecognisedDuringTheRecording) {
    writeMeeting();
    // A plain run of the same tracks, for its transcript and its recogniser's command.
    const auto plain = scratch / "plain" / recording.filename();
    std::filesystem::create_directories(plain);
    for (const auto& name : test::listFolder(recording))
        std::filesystem::copy_file(recording / name, plain / name);
    ASSERT_EQ(transcribe(plain).exitStatus, 0);
    const auto settings = RecogniserSettings::of(commandOfPlainRun());

    // All of both tracks recognised while they were recorded: the stop recognises nothing, and
    // converts, measures and analyses beside no recognition at all.
    const auto store = [&](const std::string& track, const std::vector<float>& samples,
                           const std::vector<test::MeetingLine>& lines) {
        SampleChecksum checksum;
        checksum.add(samples.data(), static_cast<std::int64_t>(samples.size()));
        StoredStretch stretch{0, static_cast<std::int64_t>(samples.size()), checksum.value(), settings, {}};
        for (const auto& line : lines)
            stretch.segments.push_back({line.fromMs, line.toMs, line.text});
        ASSERT_TRUE(StretchStore::save(recording, track, {16000, 1, {stretch}}));
    };
    store("system", meeting.system, meeting.systemLines);
    store("mic", meeting.mic, meeting.micLines);
    const auto run = transcribe(recording);
    ASSERT_EQ(run.exitStatus, 0) << run.standardError;
    EXPECT_TRUE(invocations().empty());

    const auto transcript = readText(recording / "transcript.md");
    const auto plainTranscript = readText(plain / "transcript.md");
    // Below the heading, which carries the folder's creation time.
    EXPECT_EQ(transcript.substr(transcript.find('\n')), plainTranscript.substr(plainTranscript.find('\n')));
    EXPECT_LE(keptOnTheMicrophone()[test::Truth::echo], count(test::Truth::echo) / 20);
    EXPECT_EQ(files(), (std::vector<std::string>{"audio.m4a", "transcript.md"}));
}

TEST_F(TranscribeMeeting, NothingIsDroppedWhenTheSettingIsOffOrThereIsNoSystemTrack) {
    Settings::setEchoAnalysisEnabled(false);
    writeMeeting();
    ASSERT_EQ(transcribe(recording).exitStatus, 0);
    auto mine = keptOnTheMicrophone();
    EXPECT_EQ(mine[test::Truth::echo], count(test::Truth::echo));
    EXPECT_EQ(mine[test::Truth::own] + mine[test::Truth::doubleTalk], count(test::Truth::own) + count(test::Truth::doubleTalk));

    Settings::setEchoAnalysisEnabled(true);
    std::filesystem::remove_all(recording);
    std::filesystem::create_directories(recording);
    writeMeeting(false);
    ASSERT_EQ(transcribe(recording).exitStatus, 0);
    mine = keptOnTheMicrophone();
    EXPECT_EQ(mine[test::Truth::echo], count(test::Truth::echo));
}

TEST_F(TranscribeCommand, WorkedExampleIsUnchangedWithoutEcho) {
    // Two unrelated tracks: the analysis runs and must find nothing to drop.
    writeSystem(16.0);
    writeMic(0.3F, 16.0);
    recognise("system", "0 2400 Добрый день.\n2600 5000 Слышно меня?\n3723000 3725000 Хорошо.\n");
    recognise("mic", "5200 6000 Да, слышно.\n12000 15000 Начнём с отчёта.\n");
    const auto run = transcribe(recording);
    ASSERT_EQ(run.exitStatus, 0) << run.standardError;
    // The heading carries the folder's creation time, which the test can't choose.
    const std::string transcript = readText(recording / "transcript.md");
    EXPECT_TRUE(transcript.starts_with("# Встреча ")) << transcript;
    EXPECT_EQ(transcript.substr(transcript.find("\n\n") + 2), "**Собеседник** [00:00:00]: Добрый день. Слышно меня?\n\n"
                                                     "**Я** [00:00:05]: Да, слышно.\n\n"
                                                     "**Я** [00:00:12]: Начнём с отчёта.\n\n"
                                                     "**Собеседник** [01:02:03]: Хорошо.\n");
}

} // namespace
} // namespace zorvel
