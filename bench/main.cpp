// zorvel-bench: measures the pipeline's own work side by side with the tools a user would
// otherwise reach for, on data it generates itself. Run through scripts/bench.
//
//   zorvel-bench run WORK RESULTS [--minutes M] [--runs N] [--tool-runs N] [--only a,b,...]
//       WORK: an empty scratch folder (several GB); RESULTS: the Markdown tables are written here.
//       --minutes: length of the "1 h" data (60; smaller for a quick look), --record-seconds:
//       length of each recording (60), --only: any of envelope, mix, transcript, transcribe, echo,
//       record, stop, models. --stop-minutes: lengths of the recordings stopped (5,20,60),
//       --recogniser-share: the CPU time the recogniser stand-in takes per second of audio (0.3).
//   zorvel-bench transcribe-child FOLDER REPORT
//       Internal: one `--transcribe` run in a fresh process, so that its peak memory is its own.
//   zorvel-bench echo-child SYSTEM_WAV MIC_WAV SPANS REPORT
//       Internal: one echo analysis in a fresh process, so that its peak memory is its own.
//   zorvel-bench record-child SECONDS REPORT
//       Internal: one two-track recording session against the sound server at $PULSE_SERVER, in
//       a fresh process, so that its CPU time is the session's own.

#include "GgmlModels.h"
#include "Measure.h"
#include "ModelShapes.h"
#include "Report.h"
#include "SpeechLikeAudio.h"

#include "audio/AudioFile.h"
#include "audio/SampleConversion.h"
#include "audio/TrackLevels.h"
#include "cli/HeadlessTranscription.h"
#include "model/ModelPaths.h"
#include "pipeline/Converter.h"
#include "pipeline/EchoAnalysis.h"
#include "pipeline/LoudnessEnvelope.h"
#include "pipeline/Mixdown.h"
#include "pipeline/RecogniserCommand.h"
#include "pipeline/StretchPlanner.h"
#include "pipeline/StretchRecognition.h"
#include "pipeline/StretchStore.h"
#include "pipeline/Transcriber.h"
#include "recording/RecordingSession.h"
#include "support/ChildProcess.h"
#include "support/Files.h"
#include "support/FormatDuration.h"
#include "support/LogFile.h"
#include "support/NumberText.h"

#include <QCoreApplication>
#include <QTimer>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <future>
#include <iostream>
#include <limits>
#include <set>
#include <speex/speex_echo.h>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <sys/resource.h>

namespace zorvel::bench {
namespace {

struct Options {
    std::filesystem::path work;
    std::filesystem::path results;
    int minutes = 60;
    int runs = 5;
    int toolRuns = 3;
    int recordSeconds = 60;
    std::vector<int> stopMinutes = {5, 20, 60};
    double recogniserShare = 0.3;
    std::set<std::string> only;

    bool wants(const std::string& part) const { return only.empty() || only.contains(part); }
};

void progress(const std::string& text) { std::cerr << "[bench] " << text << '\n'; }

template <typename T> T orThrow(Result<T> result, const std::string& what) {
    if (!result)
        throw std::runtime_error(what + ": " + result.error().description());
    if constexpr (!std::is_void_v<T>)
        return std::move(*result);
}

std::string hoursText(int minutes) {
    return minutes % 60 == 0 ? std::to_string(minutes / 60) + " h" : std::to_string(minutes) + " min";
}

// HOME, the XDG folders and the resource directory all point into the scratch folder, so that
// nothing touches the real home: the recogniser is the test double, the model a dummy file.
void usePrivateEnvironment(const std::filesystem::path& work) {
    const auto set = [](const char* name, const std::filesystem::path& path) {
        std::filesystem::create_directories(path);
        ::setenv(name, path.c_str(), 1);
    };
    set("HOME", work / "home");
    set("XDG_CONFIG_HOME", work / "home" / ".config");
    set("XDG_DATA_HOME", work / "home" / ".local" / "share");
    set("XDG_CACHE_HOME", work / "home" / ".cache");
    ::unsetenv("XDG_DATA_DIRS");
    ::unsetenv("ZORVEL_MODEL_URL");
    ::unsetenv("WHISPER_DOUBLE_RECORD");
    set("ZORVEL_RESOURCE_DIR", work / "resources");
    std::error_code ignored;
    std::filesystem::remove(work / "resources" / "bin" / "whisper-cli", ignored);
    std::filesystem::create_directories(work / "resources" / "bin");
    std::filesystem::create_symlink(WHISPER_DOUBLE, work / "resources" / "bin" / "whisper-cli");
    std::filesystem::create_directories(Paths::modelURL().parent_path());
    // The double reads no model, but the run checks that there is a whole one.
    zorvel::test::writeWeightlessWhisperModel(Paths::modelURL());
}

// ---------------------------------------------------------------------------------------------
// Data

constexpr AudioFormat workFormat{16000, 1, SampleFormat::int16};
constexpr AudioFormat systemFormat{48000, 2, SampleFormat::float32};
constexpr AudioFormat micFormat{48000, 1, SampleFormat::float32};

struct Recording {
    std::filesystem::path system, mic;
    std::string systemLines, micLines;
    std::int64_t durationMs = 0;
};

Recording makeRecording(const std::filesystem::path& folder, std::int64_t durationMs, std::uint32_t seed) {
    std::filesystem::create_directories(folder);
    const auto talk = conversation(durationMs, seed);
    Recording recording{folder / "system.caf", folder / "mic.caf", recognisedLines(talk, 0), recognisedLines(talk, 1),
                        durationMs};
    orThrow(writeTrack(recording.system, systemFormat, durationMs, talk, 0, seed), "system.caf");
    orThrow(writeTrack(recording.mic, micFormat, durationMs, talk, 1, seed + 1), "mic.caf");
    return recording;
}

// A folder as a recording leaves it: the captures (hard links, since a run deletes them) and
// what the recogniser double is to "recognise" in each work WAV.
std::filesystem::path freshFolder(const Recording& recording, const std::filesystem::path& folder) {
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    std::filesystem::create_hard_link(recording.system, folder / "system.caf");
    std::filesystem::create_hard_link(recording.mic, folder / "mic.caf");
    orThrow(writeFileAtomically(folder / "system-16k.wav.segments", recording.systemLines), "side file");
    orThrow(writeFileAtomically(folder / "mic-16k.wav.segments", recording.micLines), "side file");
    return folder;
}

// ---------------------------------------------------------------------------------------------
// Loudness envelope

Table envelopeTable(const Options& options, const std::filesystem::path& speech, const std::filesystem::path& speech3,
                    const std::filesystem::path& caf) {
    const std::string length = hoursText(options.minutes);
    const auto expectedWindows = static_cast<size_t>(options.minutes) * 60 * 100;
    if (orThrow(LoudnessEnvelope::analyze(speech), "envelope").values.size() != expectedWindows)
        throw std::runtime_error("envelope: unexpected number of windows");

    std::vector<double> ours;
    std::vector<double> floor;
    std::vector<double> ours3;
    std::vector<double> oursCaf;
    std::vector<double> floorCaf;
    std::vector<double> ffmpeg;
    for (int run = 0; run < options.runs; ++run) {
        progress("envelope " + std::to_string(run + 1) + "/" + std::to_string(options.runs));
        floor.push_back(readFloorSeconds(speech));
        ours.push_back(secondsOf([&] { orThrow(LoudnessEnvelope::analyze(speech), "envelope"); }));
        ours3.push_back(secondsOf([&] { orThrow(LoudnessEnvelope::analyze(speech3), "envelope"); }));
    }
    for (int run = 0; run < options.toolRuns; ++run) {
        progress("envelope of the 48 kHz stereo CAF " + std::to_string(run + 1));
        floorCaf.push_back(readFloorSeconds(caf));
        oursCaf.push_back(secondsOf([&] { orThrow(LoudnessEnvelope::analyze(caf), "envelope"); }));
    }
    const auto levels = options.work / "astats.txt";
    for (int run = 0; run < options.toolRuns; ++run) {
        progress("ffmpeg astats " + std::to_string(run + 1) + "/" + std::to_string(options.toolRuns));
        // One RMS level per 160-sample frame (10 ms at 16 kHz), reset after every frame, printed.
        const std::string filter =
            "asetnsamples=n=160:p=0,astats=metadata=1:reset=1:measure_perchannel=none:"
            "measure_overall=RMS_level,ametadata=mode=print:key=lavfi.astats.Overall.RMS_level";
        const auto tool = runTool({"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-i", speech.string(),
                                   "-af", filter, "-f", "null", "-"},
                                  levels);
        if (!tool.succeeded)
            throw std::runtime_error("ffmpeg astats failed");
        ffmpeg.push_back(tool.wallSeconds);
    }
    std::filesystem::remove(levels);

    const double o = median(ours);
    const double f = median(floor);
    const double x = median(ffmpeg);
    Table table;
    table.title = "Loudness envelope (`LoudnessEnvelope::analyze`)";
    table.header = {"Input", "Zorvel", "Compared with", "Their time", "Ratio", "Target", "Met"};
    table.rows.push_back({length + ", 16 kHz mono s16", seconds(o), "ffmpeg `astats`, RMS per 10 ms", seconds(x),
                          times(x / o) + " faster", "≥ 50× faster", yesNo(x / o >= 50)});
    table.rows.push_back({length + ", 16 kHz mono s16", seconds(o), "read(2) of the file (page cache)", seconds(f),
                          times(o / f) + " the floor", "≤ 3× the floor", yesNo(o / f <= 3)});
    table.rows.push_back({hoursText(3 * options.minutes) + ", 16 kHz mono s16", seconds(median(ours3)),
                          length + " of the same", seconds(o), times(median(ours3) / o) + " the time", "", ""});
    table.rows.push_back({length + ", 48 kHz stereo float CAF", seconds(median(oursCaf)),
                          "read(2) of the file (page cache)", seconds(median(floorCaf)),
                          times(median(oursCaf) / median(floorCaf)) + " the floor", "", ""});
    return table;
}

// ---------------------------------------------------------------------------------------------
// Mixdown

Table mixTable(const Options& options, const std::filesystem::path& a, const std::filesystem::path& b) {
    const auto out = options.work / "mix.wav";
    orThrow(Mixdown::mix({a, b}, out), "mix");
    std::vector<double> ours;
    std::vector<double> ffmpeg;
    std::vector<double> sox;
    for (int run = 0; run < options.runs; ++run) {
        progress("mix " + std::to_string(run + 1) + "/" + std::to_string(options.runs));
        ours.push_back(secondsOf([&] { orThrow(Mixdown::mix({a, b}, out), "mix"); }));
    }
    for (int run = 0; run < options.toolRuns; ++run) {
        progress("ffmpeg amix, sox -m " + std::to_string(run + 1) + "/" + std::to_string(options.toolRuns));
        const auto amix = runTool({"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-i", a.string(),
                                   "-i", b.string(), "-filter_complex", "amix=inputs=2:normalize=0", "-c:a",
                                   "pcm_s16le", out.string()});
        // -v 1 on each input: sox -m otherwise scales every input by 1/n; this is the same plain
        // sum with clipping that Mixdown does.
        const auto soxRun = runTool({"sox", "-m", "-v", "1", a.string(), "-v", "1", b.string(), out.string()});
        if (!amix.succeeded || !soxRun.succeeded)
            throw std::runtime_error("ffmpeg amix or sox -m failed");
        ffmpeg.push_back(amix.wallSeconds);
        sox.push_back(soxRun.wallSeconds);
    }
    std::filesystem::remove(out);

    const double o = median(ours);
    const double x = median(ffmpeg);
    const double s = median(sox);
    const std::string input = "two " + hoursText(options.minutes) + " 16 kHz WAVs";
    Table table;
    table.title = "Mixdown (`Mixdown::mix`)";
    table.header = {"Input", "Zorvel", "Compared with", "Their time", "Ratio", "Target", "Met"};
    table.rows.push_back({input, seconds(o), "ffmpeg `amix=inputs=2:normalize=0`", seconds(x),
                          times(x / o) + " faster", "≥ 2× faster", yesNo(x / o >= 2)});
    table.rows.push_back({input, seconds(o), "`sox -m -v 1 A -v 1 B`", seconds(s), times(s / o) + " faster", "", ""});
    return table;
}

// ---------------------------------------------------------------------------------------------
// Recogniser output and transcript

Table transcriptTable(const Options& options) {
    constexpr size_t count = 10000;
    const auto folder = options.work / "segments";
    std::filesystem::create_directories(folder);

    // Two speakers' worth of conversation, as one track, long enough for 10,000 lines.
    const std::int64_t durationMs = 40LL * 3600 * 1000;
    auto talk = conversation(durationMs, 7);
    std::string lines;
    std::vector<TranscriptSegment> segments;
    LoudnessEnvelope envelope;
    envelope.values.assign(static_cast<size_t>(durationMs / 10), 0.0002F);
    {
        std::istringstream all(recognisedLines(talk, 0));
        std::string line;
        for (size_t i = 0; i < count && std::getline(all, line); ++i)
            lines += line + "\n";
    }
    for (const auto& utterance : talk) {
        if (utterance.speaker == 0)
            std::fill(envelope.values.begin() + utterance.fromMs / 10, envelope.values.begin() + utterance.toMs / 10,
                      0.08F);
        if (segments.size() < count)
            segments.push_back({utterance.speaker == 0 ? "Собеседник" : "Я", utterance.fromMs, utterance.toMs,
                                utterance.text});
    }

    // The recogniser double writes the JSON exactly as whisper-cli does, raw escaping included.
    const auto wav = folder / "track-16k.wav";
    {
        auto file = orThrow(AudioFileWriter::create(wav, workFormat), "wav");
        orThrow(file.writeSilence(16000), "wav");
    }
    orThrow(writeFileAtomically(folder / "track-16k.wav.segments", lines), "side file");
    const RecogniserCommand recognition{Paths::modelURL(), "ru", 1, folder / "track", std::nullopt, wav};
    std::vector<std::string> command = recognition.arguments();
    command.insert(command.begin(), WHISPER_DOUBLE);
    const auto json = recognition.jsonURL();
    if (!runTool(command).succeeded || !fileExists(json))
        throw std::runtime_error("the recogniser double wrote no JSON");

    auto log = orThrow(LogFile::create(folder / "whisper.log"), "log");
    size_t kept = 0;
    std::vector<double> parse;
    std::vector<double> render;
    const auto startedAt = std::chrono::system_clock::now();
    for (int run = 0; run < 2 * options.runs; ++run) {
        parse.push_back(secondsOf([&] {
            kept = orThrow(Transcriber::parseSegments(json, "Собеседник", &envelope, log), "parse").size();
        }));
        render.push_back(secondsOf([&] {
            if (Transcriber::renderTranscript(segments, startedAt).empty())
                throw std::runtime_error("empty transcript");
        }));
    }
    std::filesystem::remove_all(folder);

    const double p = median(parse);
    const double r = median(render);
    Table table;
    table.title = "Recogniser output and transcript";
    table.header = {"Operation", "Zorvel", "Target", "Met"};
    table.rows.push_back({"`parseSegments`, " + std::to_string(count) + "-segment JSON (" + std::to_string(kept) +
                              " kept)",
                          seconds(p), "< 50 ms", yesNo(p < 0.050)});
    table.rows.push_back({"`renderTranscript`, " + std::to_string(segments.size()) + " segments", seconds(r),
                          "< 50 ms", yesNo(r < 0.050)});
    return table;
}

// ---------------------------------------------------------------------------------------------
// Whole transcription

struct WholeRun {
    double wallSeconds = 0;
    double ownCpuSeconds = 0;
    long peakKiB = 0;
    long maxrssKiB = 0;
};

WholeRun transcribeInChild(const std::filesystem::path& folder, const std::filesystem::path& work) {
    const auto report = work / "child-report.txt";
    const auto run = runTool({"/proc/self/exe", "transcribe-child", folder.string(), report.string()});
    std::ifstream in(report);
    WholeRun whole;
    int status = -1;
    in >> status >> whole.wallSeconds >> whole.ownCpuSeconds >> whole.peakKiB >> whole.maxrssKiB;
    if (!run.succeeded || status != 0 || !fileExists(folder / "transcript.md") || !fileExists(folder / "audio.m4a") ||
        fileExists(folder / "system.caf") || fileExists(folder / "mic-16k.wav"))
        throw std::runtime_error("the transcription in " + folder.string() + " did not finish as a run with speech");
    return whole;
}

// The stages of one run done one by one, the way the pipeline does them, each timed.
struct StageTimes {
    double conversion = 0, envelope = 0, recognition = 0, filterAndTranscript = 0, echo = 0, mix = 0, aac = 0,
           tidyUp = 0;
};

StageTimes runStages(const std::filesystem::path& folder) {
    StageTimes times;
    auto log = orThrow(LogFile::create(folder / "whisper.log"), "log");
    const std::vector<std::string> names = {"system", "mic"};
    std::vector<std::filesystem::path> wavs;
    std::vector<std::filesystem::path> jsons;
    std::vector<LoudnessEnvelope> envelopes;
    const auto converter = orThrow(Converter::find(), "converter");
    for (const auto& name : names) {
        const auto wav = folder / (name + "-16k.wav");
        const auto command = Converter::workWAVCommand(converter, (folder / (name + ".caf")).string(), wav.string());
        times.conversion +=
            secondsOf([&] { orThrow(Transcriber::runProcess(command.executable, command.arguments, log), "convert"); });
        wavs.push_back(wav);
    }
    for (const auto& wav : wavs)
        times.envelope += secondsOf([&] { envelopes.push_back(orThrow(LoudnessEnvelope::analyze(wav), "envelope")); });
    const auto whisper = Transcriber::findWhisperCLI();
    if (!whisper)
        throw std::runtime_error("no recogniser");
    for (size_t i = 0; i < names.size(); ++i) {
        const RecogniserCommand recognition{
            Paths::modelURL(), "ru", Transcriber::recogniserThreads(), folder / names[i], Paths::vadModelURL(), wavs[i]};
        times.recognition += secondsOf(
            [&] { orThrow(Transcriber::runProcess(*whisper, recognition.arguments(), log), "recognise"); });
        jsons.push_back(recognition.jsonURL());
    }
    std::vector<TranscriptSegment> all, mic;
    times.filterAndTranscript = secondsOf([&] {
        all = orThrow(Transcriber::parseSegments(jsons[0], "Собеседник", &envelopes[0], log), "parse");
        mic = orThrow(Transcriber::parseSegments(jsons[1], "Я", &envelopes[1], log), "parse");
    });
    times.echo = secondsOf([&] { EchoAnalysis::dropEchoes(wavs[0], wavs[1], mic, log); });
    times.filterAndTranscript += secondsOf([&] {
        all.insert(all.end(), mic.begin(), mic.end());
        orThrow(writeFileAtomically(folder / "transcript.md",
                                    Transcriber::renderTranscript(all, std::chrono::system_clock::now())),
                "transcript");
    });
    log.close();
    const auto mixdown = folder / "mixdown.wav";
    times.mix = secondsOf([&] { orThrow(Mixdown::mix(wavs, mixdown), "mix"); });
    const auto aac = Converter::aacCommand(converter, mixdown.string(), (folder / "audio.m4a").string());
    times.aac = secondsOf([&] {
        const auto outcome = runChildProcess(aac.executable, aac.arguments, ChildOutput::toNullDevice);
        if (!outcome || !outcome->succeeded())
            throw std::runtime_error("AAC encoding failed");
    });
    times.tidyUp = secondsOf([&] {
        removeQuietly(mixdown);
        removeQuietly(folder / "system.caf");
        removeQuietly(folder / "mic.caf");
        removeQuietly(folder / "whisper.log");
        for (size_t i = 0; i < names.size(); ++i) {
            removeQuietly(wavs[i]);
            removeQuietly(jsons[i]);
        }
    });
    return times;
}

std::vector<Table> transcribeTables(const Options& options) {
    const std::string length1 = hoursText(options.minutes);
    const std::string length3 = hoursText(3 * options.minutes);
    progress("generating the " + length1 + " recording (48 kHz stereo float system.caf, 48 kHz mono float mic.caf)");
    const auto one = makeRecording(options.work / "recording-1", options.minutes * 60000LL, 11);

    std::vector<StageTimes> stages;
    std::vector<WholeRun> wholes;
    for (int run = 0; run < options.toolRuns; ++run) {
        progress("transcription stages " + std::to_string(run + 1) + "/" + std::to_string(options.toolRuns));
        stages.push_back(runStages(freshFolder(one, options.work / "stages")));
        progress("whole transcription " + std::to_string(run + 1) + "/" + std::to_string(options.toolRuns));
        wholes.push_back(transcribeInChild(freshFolder(one, options.work / "whole"), options.work));
    }
    std::filesystem::remove_all(options.work / "recording-1");
    std::filesystem::remove_all(options.work / "stages");

    progress("generating the " + length3 + " recording");
    const auto three = makeRecording(options.work / "recording-3", 3LL * options.minutes * 60000, 33);
    progress("whole transcription of " + length3);
    const auto whole3 = transcribeInChild(freshFolder(three, options.work / "whole"), options.work);
    std::filesystem::remove_all(options.work / "recording-3");
    std::filesystem::remove_all(options.work / "whole");

    const auto stage = [&](double StageTimes::*field) {
        std::vector<double> values;
        values.reserve(stages.size());
        for (const auto& s : stages)
            values.push_back(s.*field);
        return median(values);
    };
    std::vector<double> wallValues;
    std::vector<double> cpuValues;
    long peak1 = 0;
    long maxrss1 = 0;
    for (const auto& whole : wholes) {
        wallValues.push_back(whole.wallSeconds);
        cpuValues.push_back(whole.ownCpuSeconds);
        peak1 = std::max(peak1, whole.peakKiB);
        maxrss1 = std::max(maxrss1, whole.maxrssKiB);
    }
    const double wall = median(wallValues);

    Table split;
    split.title = "Whole `--transcribe`, " + length1 + " two-track folder, by stage";
    split.header = {"Stage", "Median", "Share of the whole run"};
    double sum = 0;
    const auto add = [&](const std::string& name, double value) {
        sum += value;
        split.rows.push_back({name, seconds(value), percent(value / wall)});
    };
    add("conversion to 16 kHz work WAVs (ffmpeg, both tracks)", stage(&StageTimes::conversion));
    add("loudness envelope (both work WAVs)", stage(&StageTimes::envelope));
    add("recognition (zero-cost test double, both tracks)", stage(&StageTimes::recognition));
    add("segment filter and transcript", stage(&StageTimes::filterAndTranscript));
    add("echo analysis (microphone against the system track)", stage(&StageTimes::echo));
    add("mix of the work WAVs", stage(&StageTimes::mix));
    add("AAC encoding of the mix (ffmpeg)", stage(&StageTimes::aac));
    add("tidy-up (deleting captures and intermediates)", stage(&StageTimes::tidyUp));
    split.rows.push_back({"sum of the stages", seconds(sum), percent(sum / wall)});
    split.rows.push_back({"**whole run** (one process, as `zorvel --transcribe`)", seconds(wall), "100 %"});
    split.notes.push_back("Stages are run one by one with the same command lines and calls as the pipeline; the "
                          "whole run is timed separately. Our own CPU time in the whole run (children excluded): " +
                          seconds(median(cpuValues)) +
                          ". The test double still reads its whole input to check it, as the real recogniser "
                          "would. The captures are hard links to the generated files (a run deletes them), so "
                          "the tidy-up frees no data blocks; deleting real captures of this size costs a little "
                          "more.");

    Table memory;
    memory.title = "Peak resident memory of our own process during `--transcribe` (children excluded)";
    memory.header = {"Recording", "Peak (VmHWM)", "Wall time", "Target", "Met"};
    const double growth = static_cast<double>(whole3.peakKiB) / static_cast<double>(peak1) - 1.0;
    memory.rows.push_back({length1, mebibytes(static_cast<double>(peak1)), seconds(wall), "< 50 MB",
                           yesNo(static_cast<double>(peak1) * 1024 < 50e6)});
    memory.rows.push_back({length3, mebibytes(static_cast<double>(whole3.peakKiB)), seconds(whole3.wallSeconds),
                           "< 50 MB", yesNo(static_cast<double>(whole3.peakKiB) * 1024 < 50e6)});
    memory.rows.push_back({length3 + " against " + length1, signedPercent(growth), "", "within 10 %", yesNo(std::abs(growth) <= 0.10)});
    memory.notes.push_back("Measured inside a fresh process that calls the same entry as `zorvel --transcribe`; "
                           "ffmpeg and the recogniser are separate processes and not counted. getrusage's "
                           "ru_maxrss (" +
                           mebibytes(static_cast<double>(maxrss1)) + " and " +
                           mebibytes(static_cast<double>(whole3.maxrssKiB)) +
                           ") is not used: a process started through vfork inherits its parent's high-water mark. "
                           "What grows with the length of a recording is the loudness envelope of the track being "
                           "recognised (one 32-bit level per 10 ms: 1.4 MB per hour of audio) and the transcript's "
                           "text; the rest (libraries, buffers of one second) is the same for any length.");
    return {split, memory};
}

// ---------------------------------------------------------------------------------------------
// From the stop to the transcript: recognition during the recording against after the stop

// Where the background recognition of a recording stands at its stop: the ends of the finished
// stretches of each track, in windows. Its policy replayed in time rather than run for an hour: a
// stretch is ready once the pause it ends in has lasted half a second (and the worker's poll has
// seen it), full stretches go first, a short one only when no full one is ready, the track
// furthest behind first, one stretch at a time, each costing `share` of its length on the core
// left free; the stretch under way at the stop is abandoned.
std::vector<std::vector<std::int64_t>> storedAtStop(const std::vector<std::vector<float>>& levels, double stopSeconds,
                                                    double share) {
    constexpr double pollSeconds = 1.0;
    constexpr double windowSeconds = StretchPlanner::windowMs / 1000.0;
    // The cut falls in the middle of the half second of pause that has to pass first.
    constexpr double readyDelay =
        static_cast<double>(StretchPlanner::minimumPauseWindows) / 2.0 * windowSeconds + pollSeconds;
    std::vector<std::vector<std::int64_t>> done(levels.size());
    const auto startOf = [&](std::size_t track) { return done[track].empty() ? 0 : done[track].back(); };
    double now = 0;
    for (;;) {
        std::optional<std::size_t> chosen;
        std::int64_t chosenEnd = 0;
        double nextReady = std::numeric_limits<double>::infinity();
        for (const auto minimum : {StretchPlanner::minimumStretchWindows, StretchPlanner::idleStretchWindows}) {
            for (std::size_t track = 0; track < levels.size(); ++track) {
                const auto end = StretchPlanner::nextBoundary(levels[track], startOf(track), minimum);
                if (!end)
                    continue;
                if (const double ready = static_cast<double>(*end) * windowSeconds + readyDelay; ready > now)
                    nextReady = std::min(nextReady, ready);
                else if (!chosen || startOf(track) < startOf(*chosen)) {
                    chosen = track;
                    chosenEnd = *end;
                }
            }
            if (chosen)
                break;
        }
        if (!chosen) {
            if (nextReady >= stopSeconds)
                return done;
            now = nextReady;
            continue;
        }
        const double finished = now + share * static_cast<double>(chosenEnd - startOf(*chosen)) * windowSeconds;
        if (finished > stopSeconds)
            return done;
        now = finished;
        done[*chosen].push_back(chosenEnd);
    }
}

// The levels of a capture, as its writer would have measured them.
std::vector<float> captureLevels(const std::filesystem::path& capture) {
    auto reader = orThrow(AudioFileReader::open(capture), capture.string());
    TrackLevels levels(reader.sampleRate());
    std::vector<float> buffer(static_cast<std::size_t>(reader.sampleRate()) * static_cast<std::size_t>(reader.channels()));
    for (;;) {
        const auto frames = orThrow(reader.read(buffer.data(), reader.sampleRate()), capture.string());
        if (frames == 0)
            break;
        levels.add(buffer.data(), reader.channels(), frames);
    }
    return levels.since(0);
}

struct StopRun {
    double toTranscript = 0; // from the stop until transcript.md is there
    double whole = 0;        // until the run has mixed, encoded and tidied up
};

// One `--transcribe` in a fresh process, as the stop starts it, with the moment transcript.md
// appears noted by polling beside it.
StopRun stopToTranscript(const std::filesystem::path& folder, const std::filesystem::path& work) {
    std::atomic<bool> running = true;
    std::optional<double> seen;
    const auto start = std::chrono::steady_clock::now();
    std::thread watcher([&] {
        while (running && !seen) {
            if (fileExists(folder / "transcript.md"))
                seen = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    const auto whole = transcribeInChild(folder, work);
    running = false;
    watcher.join();
    return {seen.value_or(whole.wallSeconds), whole.wallSeconds};
}

std::vector<Table> stopTables(const Options& options) {
    // The recogniser stand-in: the test double, finding the utterances in the sound itself and
    // costing this share of the audio's length in CPU time.
    const std::string share = fixedText(options.recogniserShare, 2);
    ::setenv("WHISPER_DOUBLE_SPEECH", "1", 1);
    Table table;
    table.title = "From «Остановить запись» to the transcript, recogniser stand-in costing " + share +
                  "× real time (one core)";
    table.header = {"Recording",         "Left at stop", "After the stop: transcript", "whole run",
                    "During the recording: transcript", "whole run", "Transcript sooner", "Target", "Met"};
    for (const int minutes : options.stopMinutes) {
        const std::string length = hoursText(minutes);
        progress("stop to transcript, " + length + ": generating the recording");
        const auto recording = makeRecording(options.work / "stop-recording", minutes * 60000LL, 40 + minutes);
        const std::vector<std::filesystem::path> captures = {recording.system, recording.mic};
        const std::vector<std::string> names = {"system", "mic"};
        std::vector<std::vector<float>> levels;
        levels.reserve(captures.size());
        for (const auto& capture : captures)
            levels.push_back(captureLevels(capture));
        const auto stored = storedAtStop(levels, minutes * 60.0, options.recogniserShare);
        std::string leftAtStop;
        for (std::size_t track = 0; track < captures.size(); ++track) {
            const std::int64_t recognised = stored[track].empty() ? 0 : stored[track].back() * StretchPlanner::windowMs;
            leftAtStop += track == 0 ? "" : ", ";
            leftAtStop += names[track];
            leftAtStop += ' ';
            leftAtStop += fixedText(static_cast<double>(minutes * 60000LL - recognised) / 1000.0, 1);
            leftAtStop += " s";
        }
        std::string note = "stop to transcript, " + length + ": left at the stop, ";
        note += leftAtStop;
        progress(note);

        // A recording folder holding the captures (hard links, since a run deletes them) and nothing else.
        const auto freshCaptures = [&](const std::string& parent) {
            const auto folder = options.work / parent / "2025-03-05 14-03-27";
            std::filesystem::remove_all(folder.parent_path());
            std::filesystem::create_directories(folder);
            std::filesystem::create_hard_link(recording.system, folder / "system.caf");
            std::filesystem::create_hard_link(recording.mic, folder / "mic.caf");
            return folder;
        };
        std::vector<StopRun> after, during;
        for (int run = 0; run < options.toolRuns; ++run) {
            progress("stop to transcript, " + length + ", during the recording " + std::to_string(run + 1));
            const auto folder = freshCaptures("stop-during");
            // What the background left: the same double's answers, at no cost, since only the
            // work left at the stop is timed.
            ::unsetenv("WHISPER_DOUBLE_CPU_SHARE");
            const RecogniserCommand command{Paths::modelURL(), "ru", 1, {}, Paths::vadModelURL(), {}};
            auto log = orThrow(LogFile::create(options.work / "stop-stretches.log"), "log");
            for (std::size_t track = 0; track < captures.size(); ++track) {
                StretchRecord record;
                auto reader = orThrow(AudioFileReader::open(folder / (names[track] + ".caf")), "capture");
                record.sampleRate = reader.sampleRate();
                record.channels = reader.channels();
                const std::int64_t framesPerWindow = reader.sampleRate() / 100;
                std::int64_t from = 0;
                for (const auto end : stored[track]) {
                    const std::int64_t to = end * framesPerWindow;
                    record.stretches.push_back(orThrow(recogniseStretch(folder, names[track], folder / (names[track] + ".caf"),
                                                                        from, to, WHISPER_DOUBLE, command, log),
                                                       "stretch"));
                    from = to;
                }
                if (!record.stretches.empty())
                    orThrow(StretchStore::save(folder, names[track], record), "store");
            }
            ::setenv("WHISPER_DOUBLE_CPU_SHARE", share.c_str(), 1);
            during.push_back(stopToTranscript(folder, options.work));
            ::unsetenv("WHISPER_DOUBLE_CPU_SHARE");
            progress("stop to transcript, " + length + ": transcript " + seconds(during.back().toTranscript) +
                     " after the stop");

            progress("stop to transcript, " + length + ", after the stop " + std::to_string(run + 1));
            ::setenv("WHISPER_DOUBLE_CPU_SHARE", share.c_str(), 1);
            after.push_back(stopToTranscript(freshCaptures("stop-plain"), options.work));
            ::unsetenv("WHISPER_DOUBLE_CPU_SHARE");
        }
        std::filesystem::remove_all(options.work / "stop-plain");
        std::filesystem::remove_all(options.work / "stop-during");
        std::filesystem::remove_all(options.work / "stop-recording");
        std::filesystem::remove(options.work / "stop-stretches.log");

        const auto medianOf = [](const std::vector<StopRun>& runs, double StopRun::*field) {
            std::vector<double> values;
            values.reserve(runs.size());
            for (const auto& run : runs)
                values.push_back(run.*field);
            return median(values);
        };
        const double afterTranscript = medianOf(after, &StopRun::toTranscript);
        const double duringTranscript = medianOf(during, &StopRun::toTranscript);
        const bool targeted = minutes == 60;
        table.rows.push_back({length + ", two tracks",
                              leftAtStop,
                              seconds(afterTranscript), seconds(medianOf(after, &StopRun::whole)),
                              seconds(duringTranscript), seconds(medianOf(during, &StopRun::whole)),
                              times(afterTranscript / duringTranscript), targeted ? "≤ 30 s" : "",
                              targeted ? yesNo(duringTranscript <= 30) : ""});
    }
    ::unsetenv("WHISPER_DOUBLE_SPEECH");
    table.notes.push_back(
        "Each run is `zorvel --transcribe` in a fresh process, as the stop starts it, on the same captures; the "
        "transcript is there when transcript.md appears, the whole run also mixes, encodes audio.m4a and tidies up. "
        "The stand-in is the test double, which keeps one core busy for " + share +
        " s per second of its input: about what whisper.cpp with voice-activity detection costs on a four-core "
        "laptop. «Left at stop» is how much of each track its stored stretches did not cover when the recording "
        "stopped: the background's policy (a stretch ready half a second into the pause it ends in, seen by a poll "
        "each second; a stretch of a minute or more while there is one, of half a minute or more rather than "
        "nothing; the track furthest behind first; one stretch at a time on the one core it may use; the stretch "
        "under way at the stop abandoned) is replayed in time rather than run for the length of the meeting, and "
        "the stretches it would have finished are recognised and stored beforehand at no cost.");
    return {table};
}

int transcribeChild(const std::filesystem::path& folder, const std::filesystem::path& report) {
    const auto start = std::chrono::steady_clock::now();
    const int status = runHeadlessTranscription({"zorvel", "--transcribe", folder.string(), "ru"}, 1);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto secondsOfTime = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    std::ofstream out(report, std::ios::trunc);
    out << status << " " << wall << " " << secondsOfTime(usage.ru_utime) + secondsOfTime(usage.ru_stime) << " "
        // glibc declares ru_maxrss as a member of a union.
        << peakResidentKiB() << " " << usage.ru_maxrss << "\n"; // NOLINT(cppcoreguidelines-pro-type-union-access)
    return status;
}

// ---------------------------------------------------------------------------------------------
// Echo analysis

constexpr std::int64_t echoDelayMs = 120;
constexpr double echoBelowDb = 12.0;
// The microphone on another sound card than the speakers: its clock runs 40 ppm fast, and the
// echo slides 144 ms later over an hour.
constexpr double echoDriftPpm = 40.0;

// Two 16 kHz work WAVs of a meeting without headphones, and the microphone utterances a recogniser
// would report on it: the user's own lines and the other side's lines heard as echo. The spans file
// holds one "FROM TO IS_ECHO" line per utterance.
struct EchoRecording {
    std::filesystem::path system, mic, spans;
    int echoes = 0, own = 0;
};

EchoRecording makeEchoRecording(const std::filesystem::path& folder, std::int64_t durationMs, std::uint32_t seed) {
    std::filesystem::create_directories(folder);
    const auto talk = conversation(durationMs, seed);
    EchoRecording recording{folder / "system-16k.wav", folder / "mic-16k.wav", folder / "spans.txt"};
    orThrow(writeTrack(recording.system, workFormat, durationMs, talk, 0, seed), "system-16k.wav");
    orThrow(writeTrack(folder / "own.wav", workFormat, durationMs, talk, 1, seed + 1), "own.wav");
    orThrow(writeMicWithEcho(recording.mic, folder / "own.wav", recording.system, echoDelayMs, echoBelowDb,
                             echoDriftPpm),
            "mic-16k.wav");
    std::filesystem::remove(folder / "own.wav");
    std::ofstream spans(recording.spans, std::ios::trunc);
    // Times on the microphone's clock.
    const auto onMic = [](std::int64_t ms) { return static_cast<std::int64_t>(static_cast<double>(ms) * (1.0 + echoDriftPpm * 1e-6)); };
    for (const auto& utterance : talk) {
        const bool echo = utterance.speaker == 0;
        const std::int64_t shift = echo ? echoDelayMs : 0;
        spans << onMic(utterance.fromMs + shift) << " " << onMic(utterance.toMs + shift) << " " << (echo ? 1 : 0)
              << "\n";
        (echo ? recording.echoes : recording.own) += 1;
    }
    return recording;
}

struct EchoRun {
    double wallSeconds = 0;
    long peakKiB = 0;
    int echoesDropped = 0, ownDropped = 0;
};

EchoRun echoInChild(const EchoRecording& recording, const std::filesystem::path& work) {
    const auto report = work / "echo-report.txt";
    const auto run = runTool({"/proc/self/exe", "echo-child", recording.system.string(), recording.mic.string(),
                              recording.spans.string(), report.string()});
    std::ifstream in(report);
    EchoRun result;
    int status = -1;
    in >> status >> result.wallSeconds >> result.peakKiB >> result.echoesDropped >> result.ownDropped;
    if (!run.succeeded || status != 0)
        throw std::runtime_error("the echo analysis of " + recording.mic.string() + " failed");
    return result;
}

int echoChild(const std::filesystem::path& system, const std::filesystem::path& mic,
              const std::filesystem::path& spansFile, const std::filesystem::path& report) {
    std::vector<EchoAnalysis::Span> spans;
    std::vector<int> isEcho;
    std::ifstream in(spansFile);
    for (EchoAnalysis::Span span; in >> span.fromMs >> span.toMs;) {
        spans.push_back(span);
        isEcho.push_back(0);
        in >> isEcho.back();
    }
    const auto start = std::chrono::steady_clock::now();
    const auto measured = EchoAnalysis::measure(system, mic, spans);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!measured) {
        std::cerr << "zorvel-bench: " << measured.error().description() << "\n";
        return 1;
    }
    int echoesDropped = 0, ownDropped = 0;
    for (size_t i = 0; i < spans.size(); ++i)
        if ((*measured)[i].isEcho)
            (isEcho[i] ? echoesDropped : ownDropped) += 1;
    std::ofstream(report, std::ios::trunc) << 0 << " " << wall << " " << peakResidentKiB() << " " << echoesDropped
                                           << " " << ownDropped << "\n";
    return 0;
}

// speexdsp's canceller used the plain way: both tracks at their own 16 kHz, 20 ms frames and a
// 300 ms filter, every frame of the recording.
double plainCancellerSeconds(const std::filesystem::path& system, const std::filesystem::path& mic) {
    constexpr int frame = 320;
    auto systemFile = orThrow(AudioFileReader::open(system), "system");
    auto micFile = orThrow(AudioFileReader::open(mic), "mic");
    SpeexEchoState* state = speex_echo_state_init(frame, 4800);
    int rate = 16000;
    speex_echo_ctl(state, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
    std::vector<float> x(16000), y(16000);
    std::vector<std::int16_t> x16(16000), y16(16000), e16(frame);
    const double elapsed = secondsOf([&] {
        while (true) {
            const auto n = orThrow(systemFile.read(x.data(), 16000), "system");
            const auto m = orThrow(micFile.read(y.data(), 16000), "mic");
            if (n < 16000 || m < 16000)
                break;
            floatToInt16(x.data(), x16.data(), x.size());
            floatToInt16(y.data(), y16.data(), y.size());
            for (size_t at = 0; at < x16.size(); at += frame)
                speex_echo_cancellation(state, y16.data() + at, x16.data() + at, e16.data());
        }
    });
    speex_echo_state_destroy(state);
    return elapsed;
}

std::vector<Table> echoTables(const Options& options) {
    const std::string length1 = hoursText(options.minutes), length3 = hoursText(3 * options.minutes);
    progress("generating the " + length1 + " and " + length3 + " meetings with echo (16 kHz work WAVs)");
    const auto one = makeEchoRecording(options.work / "echo-1", options.minutes * 60000LL, 21);
    const auto three = makeEchoRecording(options.work / "echo-3", 3LL * options.minutes * 60000LL, 23);

    std::vector<double> ours;
    EchoRun run1;
    for (int run = 0; run < options.toolRuns; ++run) {
        progress("echo analysis " + std::to_string(run + 1) + "/" + std::to_string(options.toolRuns));
        const auto result = echoInChild(one, options.work);
        ours.push_back(result.wallSeconds);
        run1.peakKiB = std::max(run1.peakKiB, result.peakKiB);
        run1.echoesDropped = result.echoesDropped;
        run1.ownDropped = result.ownDropped;
    }
    progress("echo analysis of " + length3);
    const auto run3 = echoInChild(three, options.work);
    progress("speexdsp's canceller on the whole 16 kHz tracks");
    const double plain = plainCancellerSeconds(one.system, one.mic);
    const double floor = readFloorSeconds(one.system) + readFloorSeconds(one.mic);
    std::filesystem::remove_all(options.work / "echo-1");
    std::filesystem::remove_all(options.work / "echo-3");

    const double o = median(ours);
    const double target = 20.0 * options.minutes / 60.0;
    Table table;
    table.title = "Echo analysis (`EchoAnalysis::measure`), two-track 16 kHz work WAVs";
    table.header = {"Input", "Zorvel", "Compared with", "Their time", "Ratio", "Target", "Met"};
    table.rows.push_back({length1 + ", both tracks", seconds(o),
                          "speexdsp's canceller on every 16 kHz frame (20 ms frames, 300 ms filter)", seconds(plain),
                          times(plain / o) + " faster", "≤ 20 s per hour", yesNo(o <= target)});
    table.rows.push_back({length1 + ", both tracks", seconds(o), "read(2) of both files (page cache)", seconds(floor),
                          times(o / floor) + " the floor", "", ""});
    table.rows.push_back({length3 + ", both tracks", seconds(run3.wallSeconds), length1 + " of the same", seconds(o),
                          times(run3.wallSeconds / o) + " the time", "", ""});
    table.notes.push_back(
        "The meeting: the speech-like conversation of the other benchmarks, the other side's voice in the "
        "microphone as well, " +
        fixedText(echoBelowDb, 0) + " dB below the system track and " + std::to_string(echoDelayMs) +
        " ms late with five reflections, the microphone's clock " + fixedText(echoDriftPpm, 0) +
        " ppm fast (the echo slides by as much; the analysis measures the drift and follows it). Decisions on " +
        length1 + ": " + std::to_string(run1.echoesDropped) + " of " +
        std::to_string(one.echoes) + " echo utterances dropped, " + std::to_string(run1.ownDropped) + " of " +
        std::to_string(one.own) + " own utterances dropped. The analysis runs the canceller at 8 kHz and only "
        "where the system track sounded within the filter's reach; the plain use of the same library runs it "
        "at 16 kHz on every frame. Time grows with how long the other side talks, not with the recording.");

    Table memory;
    memory.title = "Peak resident memory of a process that only analyses echo";
    memory.header = {"Recording", "Peak (VmHWM)", "Wall time", "Target", "Met"};
    const double growth = static_cast<double>(run3.peakKiB) / static_cast<double>(run1.peakKiB) - 1.0;
    memory.rows.push_back({length1, mebibytes(static_cast<double>(run1.peakKiB)), seconds(o), "", ""});
    memory.rows.push_back({length3, mebibytes(static_cast<double>(run3.peakKiB)), seconds(run3.wallSeconds), "", ""});
    memory.rows.push_back({length3 + " against " + length1, signedPercent(growth), "", "flat (within 10 %)",
                           yesNo(std::abs(growth) <= 0.10)});
    memory.notes.push_back("A fresh process that calls `EchoAnalysis::measure` on both work WAVs. It streams them "
                           "one second at a time; what grows is one small record per microphone utterance.");
    return {table, memory};
}

// ---------------------------------------------------------------------------------------------
// Recording

double ownCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double recordedSeconds(const std::filesystem::path& path) {
    auto file = AudioFileReader::open(path);
    return file && file->sampleRate() > 0 ? static_cast<double>(file->length()) / file->sampleRate() : 0.0;
}

// Records both tracks for `seconds` with the event loop turning, as the tray application does,
// and reports the CPU time of this whole process (every thread) from start() to after stop().
int recordChild(double seconds, const std::filesystem::path& report) {
    int argc = 1;
    char name[] = "zorvel-bench";
    char* argv[] = {name, nullptr};
    QCoreApplication application(argc, argv);
    auto session = RecordingSession::create(true);
    if (!session) {
        std::cerr << "zorvel-bench: " << session.error().description() << "\n";
        return 1;
    }
    const double cpuBefore = ownCpuSeconds();
    const auto began = std::chrono::steady_clock::now();
    if (auto started = (*session)->start(); !started) {
        std::cerr << "zorvel-bench: " << started.error().description() << "\n";
        return 1;
    }
    QTimer::singleShot(std::chrono::milliseconds(static_cast<long>(seconds * 1000)), &application,
                       &QCoreApplication::quit);
    QCoreApplication::exec();
    (*session)->stop();
    const double cpu = ownCpuSeconds() - cpuBefore;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    const auto folder = (*session)->folderURL();
    std::ofstream(report, std::ios::trunc) << wall << " " << cpu << " " << recordedSeconds(folder / "system.caf") << " "
                                           << recordedSeconds(folder / "mic.caf") << "\n";
    std::filesystem::remove_all(folder);
    return 0;
}

Table recordingTable(const Options& options) {
    Table table;
    table.title = "Recording (`RecordingSession`, system audio and microphone)";
    table.header = {"Recording", "CPU time of our process", "Per minute", "Share of one core", "Target", "Met"};
    if (!std::getenv("PULSE_SERVER")) {
        table.rows.push_back({"not measured: no sound server ($PULSE_SERVER); scripts/bench starts one", "", "", "", "",
                              ""});
        return table;
    }
    // Something to hear on both tracks: the conversation's two sides, a little longer than each
    // recording, played in real time into the default output and into the microphone's feed.
    const auto folder = options.work / "playback";
    std::filesystem::create_directories(folder);
    const std::int64_t playMs = (options.recordSeconds + 3) * 1000LL;
    const auto talk = conversation(playMs, 5);
    orThrow(writeTrack(folder / "speakers.wav", {48000, 2, SampleFormat::int16}, playMs, talk, 0, 5), "playback");
    orThrow(writeTrack(folder / "feed.wav", {48000, 1, SampleFormat::float32}, playMs, talk, 1, 6), "playback");

    std::vector<double> cpuPerMinute;
    double systemSeconds = 0;
    double micSeconds = 0;
    double wall = 0;
    const auto report = options.work / "record-report.txt";
    for (int run = 0; run < options.toolRuns; ++run) {
        progress("recording " + std::to_string(run + 1) + "/" + std::to_string(options.toolRuns) + ", " +
                 std::to_string(options.recordSeconds) + " s");
        auto speakers = std::async(std::launch::async, [&] {
            return runTool({"paplay", "-d", "speakers", (folder / "speakers.wav").string()});
        });
        auto feed = std::async(std::launch::async,
                               [&] { return runTool({"paplay", "-d", "feed", (folder / "feed.wav").string()}); });
        const auto child = runTool({"/proc/self/exe", "record-child", std::to_string(options.recordSeconds),
                                    report.string()});
        const bool played = speakers.get().succeeded && feed.get().succeeded;
        double cpu = 0;
        std::ifstream(report) >> wall >> cpu >> systemSeconds >> micSeconds;
        if (!child.succeeded || !played || systemSeconds < 0.9 * options.recordSeconds ||
            micSeconds < 0.9 * options.recordSeconds)
            throw std::runtime_error("the recording did not capture both tracks");
        cpuPerMinute.push_back(cpu / wall * 60.0);
    }
    std::filesystem::remove_all(folder);

    const double perMinute = median(cpuPerMinute);
    table.rows.push_back({std::to_string(options.recordSeconds) + " s, both tracks (" + fixedText(systemSeconds, 1) +
                              " s and " + fixedText(micSeconds, 1) + " s recorded)",
                          seconds(perMinute * wall / 60.0), seconds(perMinute), percent(perMinute / 60.0),
                          "< 2 % of one core", yesNo(perMinute / 60.0 < 0.02)});
    table.notes.push_back("CPU time (user and system, all threads) of a fresh process that creates a session, "
                          "starts it, turns the Qt event loop for the recording's length and stops it, against "
                          "the private PulseAudio server of the tests while paplay plays into \"speakers\" (the "
                          "system-audio track) and into the microphone's feed. The sound server's and paplay's "
                          "own CPU time are not counted.");
    return table;
}

// ---------------------------------------------------------------------------------------------

int runAll(const Options& options) {
    usePrivateEnvironment(options.work);
    std::vector<Table> tables;
    const auto data = options.work / "data";
    std::filesystem::create_directories(data);
    const std::int64_t oneMs = options.minutes * 60000LL;

    if (options.wants("envelope") || options.wants("mix")) {
        progress("generating " + hoursText(options.minutes) + " and " + hoursText(3 * options.minutes) +
                 " of 16 kHz speech-like audio and " + hoursText(options.minutes) + " of 48 kHz stereo float CAF");
        const auto talk = conversation(oneMs, 1);
        const auto talk3 = conversation(3 * oneMs, 3);
        orThrow(writeTrack(data / "speech-1.wav", workFormat, oneMs, talk, 0, 1), "data");
        orThrow(writeTrack(data / "speech-1-other.wav", workFormat, oneMs, talk, 1, 2), "data");
        if (options.wants("envelope")) {
            orThrow(writeTrack(data / "speech-3.wav", workFormat, 3 * oneMs, talk3, 0, 3), "data");
            orThrow(writeTrack(data / "system-1.caf", systemFormat, oneMs, talk, 0, 1), "data");
            tables.push_back(envelopeTable(options, data / "speech-1.wav", data / "speech-3.wav", data / "system-1.caf"));
            std::filesystem::remove(data / "speech-3.wav");
            std::filesystem::remove(data / "system-1.caf");
        }
        if (options.wants("mix"))
            tables.push_back(mixTable(options, data / "speech-1.wav", data / "speech-1-other.wav"));
        std::filesystem::remove_all(data);
    }
    if (options.wants("transcript")) {
        progress("parseSegments and renderTranscript");
        tables.push_back(transcriptTable(options));
    }
    if (options.wants("transcribe")) {
        for (auto& table : transcribeTables(options))
            tables.push_back(std::move(table));
    }
    if (options.wants("stop")) {
        for (auto& table : stopTables(options))
            tables.push_back(std::move(table));
    }
    if (options.wants("echo")) {
        for (auto& table : echoTables(options))
            tables.push_back(std::move(table));
    }
    if (options.wants("record"))
        tables.push_back(recordingTable(options));
    if (options.wants("models"))
        tables.push_back(modelsTable(options.work, options.toolRuns));

    const std::string text = markdown(tables);
    std::cout << text;
    std::ofstream(options.results, std::ios::trunc) << text;
    return 0;
}

Options parse(int argc, char** argv) {
    if (argc < 4)
        throw std::runtime_error("usage: zorvel-bench run WORK RESULTS [--minutes M] [--runs N] [--tool-runs N] "
                                 "[--record-seconds S] [--stop-minutes 5,20,60] [--recogniser-share 0.3] "
                                 "[--only envelope,mix,transcript,transcribe,echo,record,stop,models]");
    Options options;
    options.work = std::filesystem::absolute(argv[2]);
    options.results = std::filesystem::absolute(argv[3]);
    for (int i = 4; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        const std::string value = argv[i + 1];
        if (flag == "--minutes")
            options.minutes = std::stoi(value);
        else if (flag == "--runs")
            options.runs = std::stoi(value);
        else if (flag == "--tool-runs")
            options.toolRuns = std::stoi(value);
        else if (flag == "--record-seconds")
            options.recordSeconds = std::stoi(value);
        else if (flag == "--stop-minutes") {
            options.stopMinutes.clear();
            std::istringstream lengths(value);
            for (std::string length; std::getline(lengths, length, ',');)
                options.stopMinutes.push_back(std::stoi(length));
        } else if (flag == "--recogniser-share")
            options.recogniserShare = std::stod(value);
        else if (flag == "--only") {
            std::istringstream parts(value);
            for (std::string part; std::getline(parts, part, ',');)
                options.only.insert(part);
        } else
            throw std::runtime_error("unknown option " + flag);
    }
    return options;
}

} // namespace
} // namespace zorvel::bench

int main(int argc, char** argv) {
    try {
        const std::string command = argc > 1 ? argv[1] : "";
        if (command == "transcribe-child" && argc == 4)
            return zorvel::bench::transcribeChild(argv[2], argv[3]);
        if (command == "echo-child" && argc == 6)
            return zorvel::bench::echoChild(argv[2], argv[3], argv[4], argv[5]);
        if (command == "record-child" && argc == 4)
            return zorvel::bench::recordChild(std::stod(argv[2]), argv[3]);
        if (command == "run")
            return zorvel::bench::runAll(zorvel::bench::parse(argc, argv));
        std::cerr << "usage: zorvel-bench run WORK RESULTS [options] (see scripts/bench)\n";
        return 2;
    } catch (const std::exception& error) {
        std::cerr << "zorvel-bench: " << error.what() << "\n";
        return 1;
    }
}
