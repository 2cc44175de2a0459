#pragma once

// What the tests of `zorvel --transcribe` share: a resource folder whose recogniser is the
// whisper-cli test double, a model file, and a recording folder with captures made to order.

#include "GgmlModels.h"
#include "TestAudio.h"
#include "TestEnvironment.h"
#include "model/ModelPaths.h"
#include "pipeline/RecogniserCommand.h"
#include "support/ChildProcess.h"

#include <gtest/gtest.h>
#include <sched.h>

namespace zorvel {

inline std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string::npos)
            return parts;
        start = end + 1;
    }
}

constexpr AudioFormat micFormat{48000, 1, SampleFormat::float32};
constexpr AudioFormat systemFormat{48000, 2, SampleFormat::float32};

class TranscribeCommand : public testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(resources / "bin");
        std::filesystem::create_symlink(test::whisperDouble(), resources / "bin" / "whisper-cli");
        std::filesystem::create_directories(Paths::modelURL().parent_path());
        test::writeWeightlessWhisperModel(Paths::modelURL());
        recording = scratch / "2025-03-05 14-03-27";
        std::filesystem::create_directories(recording);
    }
    void TearDown() override {
        std::filesystem::remove(Paths::modelURL());
        std::filesystem::remove(std::getenv("XDG_CONFIG_HOME") / std::filesystem::path("Zorvel/Zorvel.conf"));
    }

    // What every run gets: the resource folder with the recogniser double, and where the double
    // notes its invocations.
    std::vector<std::string> environment(std::vector<std::string> extra = {}) const {
        extra.insert(extra.end(), extraEnvironment.begin(), extraEnvironment.end());
        extra.push_back("ZORVEL_RESOURCE_DIR=" + resources.path().string());
        extra.push_back("WHISPER_DOUBLE_RECORD=" + (scratch / "invocations").string());
        return extra;
    }

    test::ProgramRun transcribe(std::vector<std::string> arguments, const std::filesystem::path& workingDirectory = {}) {
        arguments.insert(arguments.begin(), "--transcribe");
        return test::runProgram(test::zorvelExecutable(), arguments, environment(), workingDirectory);
    }
    test::ProgramRun transcribe(const std::filesystem::path& folder) {
        return transcribe(std::vector<std::string>{folder.string()});
    }

    // The recogniser's argument lists, one per run, in order.
    std::vector<std::vector<std::string>> invocations() {
        std::vector<std::vector<std::string>> runs;
        for (const auto& line : split(test::readText(scratch / "invocations"), '\n'))
            if (!line.empty())
                runs.push_back(split(line, '\x1f'));
        return runs;
    }

    // The recogniser's command as a plain run gave it (model, language, threads, voice activity).
    RecogniserCommand commandOfPlainRun() {
        const auto runs = invocations();
        EXPECT_FALSE(runs.empty());
        RecogniserCommand command;
        const auto& arguments = runs.front();
        for (size_t i = 0; i + 1 < arguments.size(); ++i) {
            if (arguments[i] == "-m")
                command.model = arguments[i + 1];
            else if (arguments[i] == "-l")
                command.language = arguments[i + 1];
            else if (arguments[i] == "-t")
                command.threads = std::stoi(arguments[i + 1]);
            else if (arguments[i] == "--vad-model")
                command.vadModel = arguments[i + 1];
        }
        std::filesystem::remove(scratch / "invocations");
        return command;
    }

    // What "speech" the recogniser double will find in a track's work WAV.
    void recognise(const std::string& name, const std::string& lines, const std::filesystem::path& folder = {}) {
        test::writeText((folder.empty() ? recording : folder) / (name + "-16k.wav.segments"), lines);
    }

    // The folder's files, leaving out the double's side files.
    std::vector<std::string> files(const std::filesystem::path& folder = {}) {
        std::vector<std::string> names;
        for (auto& name : test::listFolder(folder.empty() ? recording : folder))
            if (!name.ends_with(".segments"))
                names.push_back(name);
        return names;
    }

    void writeMic(float amplitude = 0.3F, double seconds = 2.0, const std::filesystem::path& folder = {}) {
        test::writeAudio((folder.empty() ? recording : folder) / "mic.caf", micFormat,
                         test::noise(static_cast<std::int64_t>(48000 * seconds), 1, amplitude, 3));
    }
    void writeSystem(double seconds = 3.0) {
        test::writeAudio(recording / "system.caf", systemFormat,
                         test::noise(static_cast<std::int64_t>(48000 * seconds), 2, 0.3F, 5));
    }

    test::TemporaryFolder resources{"resources"};
    test::TemporaryFolder scratch{"scratch"};
    std::filesystem::path recording;
    // "NAME=value" entries for the next runs of zorvel.
    std::vector<std::string> extraEnvironment;
};

inline int availableProcessors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    sched_getaffinity(0, sizeof set, &set);
    return CPU_COUNT(&set);
}

// Stream facts of an audio file as ffprobe reports them: "codec_name=aac" and so on.
inline std::string probe(const std::filesystem::path& file) {
    const auto ffprobe = findInPath("ffprobe");
    if (!ffprobe)
        return {};
    return test::runProgram(*ffprobe, {"-v", "error", "-show_entries", "stream=codec_name,sample_rate,channels,bit_rate",
                                       "-show_entries", "format=format_name,duration", "-of", "default=nw=1",
                                       file.string()})
        .standardOutput;
}

inline double probedValue(const std::string& facts, const std::string& key) {
    const auto at = facts.find(key + "=");
    return at == std::string::npos ? -1.0 : std::stod(facts.substr(at + key.size() + 1));
}

} // namespace zorvel
