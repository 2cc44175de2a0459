// A hostile run of the built `zorvel --transcribe`: a full disk at every step, a kill at every step,
// two runs at once, signals, planted links, a hostile ffmpeg, long paths, raw recogniser bytes.
// Whatever happens, no track of a recording is lost and the user is told why in Russian.

#include "TranscribeFixture.h"

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace zorvel {
namespace {

using test::readText;
using test::TemporaryFolder;
using test::writeText;

constexpr const char* diskFull = "Недостаточно места на диске";

// The whole file, as bytes.
std::string bytesOf(const std::filesystem::path& path) { return readText(path); }

// A recording decoded the way a player would: 16 kHz mono 16-bit samples from ffmpeg.
std::vector<std::int16_t> decode(const std::filesystem::path& file) {
    const auto run = test::runProgram(findInPath("ffmpeg").value_or("/usr/bin/ffmpeg"),
                                      {"-nostdin", "-v", "error", "-i", "file:" + file.string(), "-f", "s16le", "-ac",
                                       "1", "-ar", "16000", "pipe:1"});
    std::vector<std::int16_t> samples(run.standardOutput.size() / 2);
    std::memcpy(samples.data(), run.standardOutput.data(), samples.size() * 2);
    return samples;
}

// The RMS level of decoded samples between two times, full scale 1.0.
double level(const std::vector<std::int16_t>& samples, double fromSeconds, double toSeconds) {
    const auto from = static_cast<size_t>(fromSeconds * 16000);
    const auto to = std::min(samples.size(), static_cast<size_t>(toSeconds * 16000));
    if (to <= from)
        return 0;
    double sum = 0;
    for (size_t i = from; i < to; ++i)
        sum += static_cast<double>(samples[i]) * samples[i] / (32768.0 * 32768.0);
    return std::sqrt(sum / static_cast<double>(to - from));
}

// The name in the first «…» after `marker` in `text`, or "" when there is none.
std::string quotedAfter(const std::string& text, const std::string& marker) {
    const auto at = text.find(marker);
    if (at == std::string::npos)
        return {};
    const auto open = text.find("«", at);
    const auto close = text.find("»", open);
    if (open == std::string::npos || close == std::string::npos)
        return {};
    return text.substr(open + std::string("«").size(), close - open - std::string("«").size());
}

// A small tmpfs mounted for one test, so that the disk really runs full. Needs the right to
// mount (root here); without it the test says so and is skipped.
class SmallDisk {
public:
    SmallDisk(const std::filesystem::path& where, std::size_t bytes) : m_path(where) {
        std::filesystem::create_directories(m_path);
        const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
        if (::mount("tmpfs", m_path.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0)
            m_whyNot = std::string("cannot mount a tmpfs here: ") + std::strerror(errno);
    }
    ~SmallDisk() {
        if (m_whyNot.empty())
            ::umount2(m_path.c_str(), MNT_DETACH);
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    const std::string& whyNot() const { return m_whyNot; }
    const std::filesystem::path& path() const { return m_path; }

    // Fills the disk until no more than `bytes` stay free.
    void leaveFree(std::size_t bytes) {
        struct statvfs facts {};
        ::statvfs(m_path.c_str(), &facts);
        const std::size_t available = facts.f_bavail * facts.f_frsize;
        if (available > bytes) {
            const int fd = ::open((m_path / "filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            EXPECT_EQ(::posix_fallocate(fd, 0, static_cast<off_t>(available - bytes)), 0);
            ::close(fd);
        }
    }

private:
    std::filesystem::path m_path;
    std::string m_whyNot;
};

class CaptureSafety : public TranscribeCommand {
protected:
    // A run left going until it is told to go on: the recogniser double waits for `release`.
    test::RunningProgram startWaitingRun(const std::filesystem::path& release) {
        recognise("mic", "!wait " + release.string() + "\n0 900 Первый.\n");
        auto program = test::startProgram(test::zorvelExecutable(), {"--transcribe", recording.string()},
                                          environment());
        EXPECT_TRUE(test::waitUntil([&] { return std::filesystem::exists(recording / "mic-16k.wav.pid"); }))
            << "the recogniser never started";
        return program;
    }

    pid_t recogniserPid() { return std::stoi(readText(recording / "mic-16k.wav.pid")); }

    // Everything a run may leave behind when it stops early, besides the captures.
    static bool isWorkFile(const std::string& name) {
        static const std::set<std::string> work = {"whisper.log", "mic-16k.wav", "system-16k.wav", "mic.json",
                                                   "system.json", "transcript.md"};
        return work.contains(name);
    }
};

// --- Nothing is deleted until what replaces it is proven -----------------------------------------

// A full disk at every step of a run, one 4 KiB page more free space each time: the converter's
// work WAV, the recogniser's JSON, the transcript, the mix and the AAC encode all fail somewhere
// in the sweep. The capture survives every time, unchanged, and the user reads why.
TEST_F(CaptureSafety, AFullDiskAtAnyStepKeepsTheCaptureAndSaysWhy) {
    SmallDisk disk(scratch / "disk", 1 << 20);
    if (!disk.whyNot().empty())
        GTEST_SKIP() << disk.whyNot();
    std::string manySegments;
    for (int i = 0; i < 150; ++i)
        manySegments += std::to_string(i * 6) + " " + std::to_string(i * 6 + 6) + " Слово номер " + std::to_string(i) + ".\n";
    const auto original = scratch / "mic.caf";
    test::writeAudio(original, micFormat, test::noise(48000, 1, 0.3F, 3));

    std::set<std::string> failedAt;
    bool completed = false;
    for (std::size_t free = 0; !completed && free <= 400 * 1024; free += 4096) {
        SCOPED_TRACE("free bytes: " + std::to_string(free));
        const auto folder = disk.path() / ("запись " + std::to_string(free));
        std::filesystem::remove_all(disk.path() / "filler");
        for (const auto& entry : std::filesystem::directory_iterator(disk.path()))
            std::filesystem::remove_all(entry.path());
        std::filesystem::create_directories(folder);
        std::filesystem::copy_file(original, folder / "mic.caf");
        recognise("mic", manySegments, folder);
        disk.leaveFree(free);

        const auto run = transcribe(folder);
        const auto left = files(folder);
        const std::string log = readText(folder / "whisper.log");
        if (run.exitStatus == 0 && left == std::vector<std::string>{"audio.m4a", "transcript.md"}) {
            EXPECT_NEAR(probedValue(probe(folder / "audio.m4a"), "duration"), 1.0, 0.1);
            completed = true;
            break;
        }
        // Whatever failed, the capture is there, unchanged, and no half-made audio.m4a is left.
        ASSERT_TRUE(std::filesystem::exists(folder / "mic.caf")) << run.standardError << "\n" << log;
        EXPECT_EQ(bytesOf(folder / "mic.caf"), bytesOf(original));
        for (const auto& name : left)
            EXPECT_TRUE(name == "mic.caf" || isWorkFile(name)) << name;
        if (run.exitStatus == 0) {
            // The transcript was written; only the tidy-up found no room, and the log says so.
            EXPECT_TRUE(std::filesystem::exists(folder / "transcript.md"));
            EXPECT_NE(log.find(diskFull), std::string::npos) << log;
            failedAt.insert(quotedAfter(log, diskFull));
        } else {
            EXPECT_EQ(run.exitStatus, 1);
            EXPECT_TRUE(run.standardError.starts_with(diskFull)) << run.standardError;
            EXPECT_NE(run.standardError.find("«" + folder.string() + "»"), std::string::npos) << run.standardError;
            failedAt.insert(quotedAfter(run.standardError, diskFull));
        }
    }
    EXPECT_TRUE(completed) << "even 400 KiB were not enough";
    for (const char* step : {"mic-16k.wav", "mic.json", "transcript.md", "mixdown.wav", "audio.m4a"})
        EXPECT_TRUE(failedAt.contains(step)) << "the disk never ran full while writing " << step;
}

// The process is killed (SIGKILL) just before each step that deletes or renames a file, then the
// folder is transcribed again. Every time, the final audio.m4a holds both tracks: the system
// audio speaks in the first half, the microphone in the second. The steps are swept in three
// ranges that CTest runs side by side; the last one reaches the end of a run.
class KillAtEveryStep : public CaptureSafety, public testing::WithParamInterface<std::pair<int, int>> {};

TEST_P(KillAtEveryStep, ThenARerunKeepsEveryTrack) {
    const auto [first, last] = GetParam();
    const auto crashLog = scratch / "crash.log";
    std::vector<float> system = test::noise(48000 * 3, 2, 0.3F, 5);
    std::vector<float> mic = test::noise(48000 * 3, 1, 0.3F, 3);
    std::fill(system.begin() + 48000 * 2 * 3 / 2, system.end(), 0.0F);
    std::fill(mic.begin(), mic.begin() + 48000 * 3 / 2, 0.0F);

    for (int step = first; step <= last; ++step) {
        SCOPED_TRACE("killed before step " + std::to_string(step));
        std::filesystem::remove_all(recording);
        std::filesystem::create_directories(recording);
        test::writeAudio(recording / "system.caf", systemFormat, system);
        test::writeAudio(recording / "mic.caf", micFormat, mic);
        recognise("system", "100 1400 Говорит собеседник.\n");
        recognise("mic", "1600 2900 Говорю я.\n");
        // A run killed after its tidy-up leaves a finished folder, which the rerun transcribes again.
        recognise("audio", "100 2900 Говорим оба.\n");
        std::filesystem::remove(crashLog);

        const auto crashed = test::runProgram(
            test::zorvelExecutable(), {"--transcribe", recording.string()},
            environment({"LD_PRELOAD=" + std::string(CRASH_AT_FILE_OPERATION), "ZORVEL_CRASH_AT=" + std::to_string(step),
                         "ZORVEL_CRASH_LOG=" + crashLog.string(), "ASAN_OPTIONS=verify_asan_link_order=0"}));
        const bool finished = crashed.exitStatus == 0;
        if (!finished) {
            ASSERT_EQ(crashed.exitStatus, 128 + SIGKILL) << crashed.standardError;
            const auto rerun = transcribe(recording);
            ASSERT_EQ(rerun.exitStatus, 0) << rerun.standardError << "\n" << readText(recording / "whisper.log");
        }
        EXPECT_EQ(files(), (std::vector<std::string>{"audio.m4a", "transcript.md"}));
        const auto samples = decode(recording / "audio.m4a");
        EXPECT_NEAR(static_cast<double>(samples.size()) / 16000, 3.0, 0.1);
        EXPECT_GT(level(samples, 0.2, 1.3), 0.05) << "the system audio is lost";
        EXPECT_GT(level(samples, 1.7, 2.8), 0.05) << "the microphone is lost";
        if (finished) {
            // The whole run was swept: it ends with the deletion of both captures.
            const std::string steps = readText(crashLog);
            EXPECT_NE(steps.find("system.caf\n"), std::string::npos) << steps;
            EXPECT_NE(steps.find("mic.caf\n"), std::string::npos) << steps;
            return;
        }
    }
    EXPECT_LT(last, 100) << "a run never came to its end";
}

INSTANTIATE_TEST_SUITE_P(Steps, KillAtEveryStep,
                         testing::Values(std::pair{1, 10}, std::pair{11, 20}, std::pair{21, 100}));

// A recogniser that cuts its input short (as a broken one might): the mix would be short, so the
// captures stay, the transcript is still written, and the log says why.
TEST_F(CaptureSafety, AnAudioFileShorterThanTheCapturesNeverReplacesThem) {
    writeMic(0.3F, 10.0);
    recognise("mic", "!shorten 3100\n0 900 Короткий.\n");
    const auto run = transcribe(recording);
    ASSERT_EQ(run.exitStatus, 0) << run.standardError;
    EXPECT_TRUE(std::filesystem::exists(recording / "mic.caf"));
    EXPECT_TRUE(std::filesystem::exists(recording / "transcript.md"));
    EXPECT_FALSE(std::filesystem::exists(recording / "audio.m4a"));
    const std::string log = readText(recording / "whisper.log");
    EXPECT_NE(log.find("[zorvel] audio.m4a длится 3.1 с, а запись 10.0 с — исходники оставлены на месте\n"),
              std::string::npos)
        << log;
}

// An older JSON that can't be deleted would be read as this run's result: the run fails instead,
// and keeps everything.
TEST_F(CaptureSafety, AStaleRecogniserOutputThatCannotBeRemovedFailsTheRun) {
    writeMic();
    writeText(recording / "mic.json", R"({"transcription": [{"offsets": {"from": 0, "to": 900}, "text": "Старое"}]})");
    if (test::runProgram("/usr/bin/chattr", {"+i", (recording / "mic.json").string()}).exitStatus != 0)
        GTEST_SKIP() << "cannot make a file immutable here (chattr +i needs root and a file system that has it)";
    struct Mutable {
        std::filesystem::path path;
        ~Mutable() { test::runProgram("/usr/bin/chattr", {"-i", path.string()}); }
    } restore{recording / "mic.json"};
    recognise("mic", "0 900 Новое.\n");
    const auto run = transcribe(recording);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_TRUE(run.standardError.starts_with("Не удалось удалить прежний результат распознавания «" +
                                              (recording / "mic.json").string() + "»"))
        << run.standardError;
    EXPECT_EQ(files(), (std::vector<std::string>{"mic-16k.wav", "mic.caf", "mic.json", "whisper.log"}));
}

// --- One run per folder --------------------------------------------------------------------------

TEST_F(CaptureSafety, ASecondRunOnTheSameFolderExitsAtOnceAndTouchesNothing) {
    writeMic();
    auto first = startWaitingRun(scratch / "go-on");
    const auto listing = test::listFolder(recording);
    const std::string log = readText(recording / "whisper.log");

    const auto second = transcribe(recording);
    EXPECT_EQ(second.exitStatus, 1);
    EXPECT_EQ(second.standardOutput, "");
    EXPECT_EQ(second.standardError, "Папка «" + recording.string() +
                                        "» занята: в ней сейчас идёт запись или распознавание. Повторите, когда "
                                        "оно закончится.\n");
    EXPECT_EQ(test::listFolder(recording), listing);
    EXPECT_EQ(readText(recording / "whisper.log"), log);

    writeText(scratch / "go-on", "");
    const auto finished = first.wait();
    EXPECT_EQ(finished.exitStatus, 0) << finished.standardError;
    EXPECT_EQ(files(), (std::vector<std::string>{"audio.m4a", "mic-16k.wav.pid", "transcript.md"}));
}

// A recording holds the same lock: an exclusive flock on ".zorvel.lock" in its folder.
TEST_F(CaptureSafety, AFolderLockedByARecordingIsLeftAlone) {
    writeMic();
    const int lock = ::open((recording / ".zorvel.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_EQ(::flock(lock, LOCK_EX | LOCK_NB), 0);
    const auto run = transcribe(recording);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_TRUE(run.standardError.starts_with("Папка «" + recording.string() + "» занята")) << run.standardError;
    EXPECT_EQ(test::listFolder(recording), (std::vector<std::string>{".zorvel.lock", "mic.caf"}));
    ::close(lock);

    // Unlocked, the same folder transcribes, and a tidied folder holds exactly the two results.
    recognise("mic", "0 900 Теперь можно.\n");
    const auto again = transcribe(recording);
    EXPECT_EQ(again.exitStatus, 0) << again.standardError;
    EXPECT_EQ(test::listFolder(recording), (std::vector<std::string>{"audio.m4a", "mic-16k.wav.segments", "transcript.md"}));
}

// --- Children end with Zorvel --------------------------------------------------------------------

TEST_F(CaptureSafety, SigtermOrSigintDuringRecognitionLeavesNoProcessAndNoTemporaryFile) {
    for (const int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(strsignal(signal));
        std::filesystem::remove_all(recording);
        std::filesystem::create_directories(recording);
        writeMic();
        auto run = startWaitingRun(scratch / "never");
        const pid_t recogniser = recogniserPid();
        ::kill(run.pid(), signal);
        const auto ended = run.wait();
        EXPECT_EQ(ended.exitStatus, 128 + signal) << ended.standardError;
        EXPECT_TRUE(test::waitUntil([&] { return !test::processIsAlive(recogniser); }, std::chrono::seconds(5)))
            << "the recogniser outlived zorvel";
        // What a failed run keeps, and nothing half-written: no JSON of the interrupted recogniser.
        EXPECT_EQ(files(), (std::vector<std::string>{"mic-16k.wav", "mic-16k.wav.pid", "mic.caf", "whisper.log"}));
    }
}

TEST_F(CaptureSafety, AKilledZorvelTakesItsRecogniserWithIt) {
    writeMic();
    auto run = startWaitingRun(scratch / "never");
    const pid_t recogniser = recogniserPid();
    ::kill(run.pid(), SIGKILL);
    EXPECT_EQ(run.wait().exitStatus, 128 + SIGKILL);
    EXPECT_TRUE(test::waitUntil([&] { return !test::processIsAlive(recogniser); }, std::chrono::seconds(5)))
        << "the recogniser outlived zorvel";
}

// --- No writes through links, no programs from the current folder --------------------------------

TEST_F(CaptureSafety, LinksPlantedForEveryFileZorvelWritesAreReplacedNeverFollowed) {
    writeMic();
    recognise("mic", "0 900 Ссылки.\n");
    const auto victim = scratch / "victim.txt";
    writeText(victim, "precious");
    const auto absent = scratch / "absent";
    const std::vector<std::string> names = {"whisper.log", "mic-16k.wav", "mic.json", "mixdown.wav", "transcript.md",
                                            "audio.m4a", ".zorvel.lock", ".zorvel-tidy", ".audio.m4a.part"};
    for (const auto& name : names)
        std::filesystem::create_symlink(name == "mic.json" ? absent : victim, recording / name);
    const auto run = transcribe(recording);
    EXPECT_EQ(run.exitStatus, 0) << run.standardError;
    EXPECT_EQ(readText(victim), "precious");
    EXPECT_FALSE(std::filesystem::exists(absent));
    EXPECT_EQ(files(), (std::vector<std::string>{"audio.m4a", "transcript.md"}));
    EXPECT_FALSE(std::filesystem::is_symlink(recording / "audio.m4a"));
}

TEST_F(CaptureSafety, FfmpegIsNeverTakenFromTheCurrentFolderOrARelativePathEntry) {
    writeMic();
    recognise("mic", "0 900 Путь.\n");
    const auto cwd = scratch / "cwd";
    const auto marker = scratch / "hostile-ran";
    for (const auto& where : {cwd, cwd / "tools"}) {
        std::filesystem::create_directories(where);
        writeText(where / "ffmpeg", "#!/bin/sh\ntouch '" + marker.string() + "'\nexit 0\n");
        std::filesystem::permissions(where / "ffmpeg", std::filesystem::perms::owner_all);
    }
    const auto ffmpeg = findInPath("ffmpeg");
    ASSERT_TRUE(ffmpeg) << "the tests need ffmpeg";

    // Empty and relative entries only: there is no ffmpeg to run.
    auto run = test::runProgram(test::zorvelExecutable(), {"--transcribe", recording.string()},
                                environment({"PATH=:tools:."}), cwd);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.standardError, "Не найден ffmpeg: он нужен, чтобы читать и сжимать записи. Установите его "
                                 "(например, sudo apt install ffmpeg).\n");
    EXPECT_FALSE(std::filesystem::exists(marker));

    // The real one after them is found.
    run = test::runProgram(test::zorvelExecutable(), {"--transcribe", recording.string()},
                           environment({"PATH=::tools:.:" + ffmpeg->parent_path().string()}), cwd);
    EXPECT_EQ(run.exitStatus, 0) << run.standardError;
    EXPECT_FALSE(std::filesystem::exists(marker));
    EXPECT_EQ(files(), (std::vector<std::string>{"audio.m4a", "transcript.md"}));
}

// --- Long paths, untrusted bytes, output errors --------------------------------------------------

TEST_F(CaptureSafety, AFolderPathOf1500BytesWorksLikeAShortOne) {
    auto folder = scratch.path();
    while (folder.string().size() < 1500)
        folder /= "очень длинное имя папки с записями";
    std::filesystem::create_directories(folder);
    ASSERT_GE(folder.string().size(), 1500u);
    // Loud first second, silence after: the silence filter must still work.
    std::vector<float> samples = test::noise(48000 * 2, 1, 0.3F, 3);
    std::fill(samples.begin() + 48000, samples.end(), 0.0F);
    test::writeAudio(folder / "mic.caf", micFormat, samples);
    recognise("mic", "0 900 Громко.\n1200 1800 На тишине.\n", folder);
    const auto run = transcribe(folder);
    ASSERT_EQ(run.exitStatus, 0) << run.standardError;
    EXPECT_EQ(run.standardOutput, (folder / "transcript.md").string() + "\n");
    EXPECT_EQ(files(folder), (std::vector<std::string>{"audio.m4a", "transcript.md"}));
    const std::string transcript = readText(folder / "transcript.md");
    EXPECT_NE(transcript.find("Громко."), std::string::npos) << transcript;
    EXPECT_EQ(transcript.find("На тишине."), std::string::npos) << transcript;
}

TEST_F(CaptureSafety, AResultPathThatCannotBePrintedIsAFailure) {
    writeMic();
    recognise("mic", "0 900 Некуда печатать.\n");
    auto program = test::startProgram(test::zorvelExecutable(), {"--transcribe", recording.string()}, environment(),
                                      {}, "/dev/full");
    const auto run = program.wait();
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_TRUE(run.standardError.starts_with("Не удалось вывести путь к конспекту")) << run.standardError;
}

TEST_F(CaptureSafety, MicTestWithoutATemporaryFolderSaysSo) {
    const auto run = test::runProgram(test::zorvelExecutable(), {"--mic-test", "1"},
                                      {"TMPDIR=" + (scratch / "absent").string()});
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.standardOutput, "");
    EXPECT_EQ(run.standardError, "Временная папка «" + (scratch / "absent").string() +
                                     "» не найдена. Проверьте переменную TMPDIR.\n");
}

} // namespace
} // namespace zorvel
