#include "pipeline/Transcriber.h"

#include "audio/AudioFile.h"
#include "model/ModelFileCheck.h"
#include "model/ModelPaths.h"
#include "pipeline/AudioLength.h"
#include "pipeline/Converter.h"
#include "pipeline/EchoAnalysis.h"
#include "pipeline/RecogniserCommand.h"
#include "pipeline/RecogniserProgress.h"
#include "pipeline/StretchRecognition.h"
#include "pipeline/StretchStore.h"
#include "pipeline/WriteFailure.h"
#include "support/ChildProcess.h"
#include "support/Files.h"
#include "support/FolderLock.h"
#include "support/FormatDuration.h"
#include "support/NumberText.h"
#include "support/Paths.h"
#include "support/Settings.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <libintl.h>
#include <sched.h>

namespace zorvel {

namespace {

std::atomic<int> runningRuns{0};

struct Source {
    std::string speaker;
    std::filesystem::path source;
};

// strsignal's words in the user's language, without strsignal's shared buffer (runs happen on
// worker threads): the description as glibc has it, translated as strsignal translates it.
std::string signalWords(int signal) {
    if (const char* description = ::sigdescr_np(signal))
        return ::dgettext("libc", description);
    return "Unknown signal " + std::to_string(signal);
}

std::vector<Source> sourcesIn(const std::filesystem::path& folder) {
    std::vector<Source> sources;
    if (fileExists(folder / "system.caf"))
        sources.push_back({"Собеседник", folder / "system.caf"});
    if (fileExists(folder / "mic.caf"))
        sources.push_back({"Я", folder / "mic.caf"});
    if (sources.empty() && fileExists(folder / "audio.m4a"))
        sources.push_back({"Встреча", folder / "audio.m4a"});
    return sources;
}

// Counts a run from its start to its return, whichever way it returns.
class RunInProgress {
public:
    RunInProgress() { ++runningRuns; }
    ~RunInProgress() { --runningRuns; }
    RunInProgress(const RunInProgress&) = delete;
    RunInProgress& operator=(const RunInProgress&) = delete;
};

// The output of the step under way: removed unless the step completes, so that a failed or
// interrupted tool leaves nothing half-written behind.
class StepOutput {
public:
    explicit StepOutput(std::filesystem::path path) : m_path(std::move(path)) {}
    ~StepOutput() {
        if (!m_kept)
            removeQuietly(m_path);
    }
    StepOutput(const StepOutput&) = delete;
    StepOutput& operator=(const StepOutput&) = delete;
    void keep() { m_kept = true; }

private:
    std::filesystem::path m_path;
    bool m_kept = false;
};

// Leftovers of a run that was killed: none of them holds anything a later run needs.
void removeLeftoversOfKilledRuns(const std::filesystem::path& folder) {
    for (const char* name : {"mixdown.wav", ".audio.m4a.part", ".transcript.md.part", ".zorvel-tidy.part"})
        removeQuietly(folder / name);
}

// Converts one source into its work WAV, written by the converter into a file we created, and
// checks that the WAV holds the whole source: ffmpeg exits 0 also when the disk ran full.
Result<void> convert(const std::filesystem::path& converter, const std::filesystem::path& folder,
                     const std::filesystem::path& source, const std::filesystem::path& wav, LogFile& log) {
    const std::string wavName = wav.filename().string();
    auto output = createFileReplacing(wav, O_WRONLY, "Не удалось создать");
    if (!output)
        return failure(explainWriteFailure(output.error(), folder, wavName));
    StepOutput step(wav);
    // The source by its name, so that the converter's messages in the log name it too.
    const auto command = Converter::workWAVCommand(converter, source.string(), passedDescriptorPath(0));
    if (auto converted = Transcriber::runProcess(command.executable, command.arguments, log, {output->get()});
        !converted)
        return failure(explainWriteFailure(converted.error(), folder, wavName));
    TRY(output->close("Не удалось записать"));

    // Sources we can't read ourselves ("audio.m4a") are taken as the converter read them.
    if (const auto expected = AudioLength::framesAt16k(source)) {
        const auto written = AudioLength::framesAt16k(wav);
        if (!written || !AudioLength::isWholeWorkWAV(*written, *expected)) {
            const Error incomplete =
                Error::platform(converter.filename().string() + " записал «" + wavName + "» не полностью: " +
                                AudioLength::secondsText(written.value_or(0)) + " с из " +
                                AudioLength::secondsText(*expected) + " с. Подробности в whisper.log в папке записи.");
            return failure(explainWriteFailure(incomplete, folder, wavName));
        }
    }
    step.keep();
    return {};
}

bool isCapture(const std::filesystem::path& source) { return source.extension() == ".caf"; }

// The track's segments from the stored stretches and a recognition of what follows them, as one
// recogniser run would have given them. The new stretch is stored too, for a run that has to start
// again. `report` gets the seconds recognised and the capture's length.
Result<std::vector<WhisperSegment>> recogniseRest(const std::filesystem::path& folder, const std::string& name,
                                                  const std::filesystem::path& capture,
                                                  const std::filesystem::path& whisper,
                                                  const RecogniserCommand& recognition,
                                                  std::vector<StoredStretch> stored, LogFile& log,
                                                  const std::function<void(double, double)>& report) {
    const auto reader = TRY(AudioFileReader::open(capture));
    const std::int64_t length = reader.length();
    const std::int64_t storedEnd = stored.back().toFrame;
    const double rate = reader.sampleRate();
    Transcriber::log("Распознано во время записи: " + name + " до " + formatDuration(storedEnd / reader.sampleRate()) + " (" +
                         std::to_string(stored.size()) + " отр.)",
                     log);
    report(static_cast<double>(storedEnd) / rate, static_cast<double>(length) / rate);
    // Less than a loudness window holds no speech, and may convert to no sample at all.
    if (length - storedEnd >= reader.sampleRate() / 100) {
        auto rest = recogniseStretch(folder, name, capture, storedEnd, length, whisper, recognition, log);
        if (!rest)
            return failure(explainWriteFailure(rest.error(), folder, StretchStore::folderOf(folder).filename().string()));
        stored.push_back(std::move(*rest));
        const StretchRecord record{reader.sampleRate(), reader.channels(), stored};
        if (auto saved = StretchStore::save(folder, name, record); !saved)
            Transcriber::log("Не удалось сохранить распознанное: " + saved.error().description(), log);
    }
    std::vector<WhisperSegment> all;
    for (auto& stretch : stored)
        all.insert(all.end(), std::make_move_iterator(stretch.segments.begin()),
                   std::make_move_iterator(stretch.segments.end()));
    return all;
}

// A track's work WAV and loudness, which the filter, the echo analysis and the mix work from.
struct PreparedTrack {
    std::filesystem::path wav;
    std::optional<LoudnessEnvelope> envelope; // none when it could not be measured
    double seconds = 0;
    bool silent = false; // nothing to recognise
};

Result<PreparedTrack> prepareTrack(const std::filesystem::path& converter, const std::filesystem::path& folder,
                                   const std::filesystem::path& source, LogFile& log) {
    const std::string name = source.stem().string();
    PreparedTrack track{folder / (name + "-16k.wav"), std::nullopt, 0, false};
    TRY(convert(converter, folder, source, track.wav, log));
    if (auto measured = LoudnessEnvelope::analyze(track.wav)) {
        track.envelope = std::move(*measured);
        // One value per 10 ms window.
        track.seconds = static_cast<double>(track.envelope->values.size()) / 100.0;
        const float peak = track.envelope->peak();
        if (track.envelope->values.empty() || peak < 0.002F) {
            Transcriber::log("Дорожка " + name + " молчит (пик " + shortestFloatText(peak) + ") — пропущена", log);
            track.silent = true;
        }
    } else {
        Transcriber::log("Громкость " + name + " измерить не вышло — фильтр тишины отключён", log);
    }
    return track;
}

// What the recognition of a folder's tracks works with.
struct TrackRun {
    const std::filesystem::path& folder;
    const std::filesystem::path& converter;
    const std::filesystem::path& whisper;
    const std::vector<Source>& sources;
    const std::vector<RecogniserCommand>& recognitions; // one for each source
    LogFile& log;
    const TranscriptionProgressCallback& progress;
};

// What a run makes of a folder's tracks before it writes the transcript.
struct RecognisedTracks {
    std::vector<std::filesystem::path> workWAVs;
    std::vector<std::filesystem::path> intermediates;
    std::vector<TranscriptSegment> utterances; // the tracks' in the order of their sources
};

// The microphone's utterances are checked for echo against the system track's work WAV, when that
// track sounded.
bool checkedForEcho(const std::filesystem::path& source, const std::filesystem::path* soundingSystemWAV) {
    return source.stem() == "mic" && soundingSystemWAV && Settings::echoAnalysisEnabled();
}

// The run as it goes without stored stretches for every capture: each track is converted,
// measured and recognised in turn, the system track first, which the microphone's echo analysis
// needs.
Result<RecognisedTracks> recogniseOneAfterAnother(const TrackRun& run, std::vector<std::vector<StoredStretch>> stored) {
    const auto& [folder, converter, whisper, sources, recognitions, log, progress] = run;
    RecognisedTracks result;
    const int trackCount = static_cast<int>(sources.size());
    int trackIndex = 0;
    // The system track's work WAV once it has been recognised (a silent one is skipped): the
    // far-end reference against which the microphone's utterances are checked for echo.
    std::optional<std::filesystem::path> systemWAV;
    for (std::size_t i = 0; i < sources.size(); ++i) {
        const auto& [speaker, source] = sources[i];
        ++trackIndex;
        const auto report = [&, label = speaker](double recognisedSeconds, double trackSeconds) {
            if (progress)
                progress({label, trackIndex, trackCount, recognisedSeconds, trackSeconds, result.utterances.size()});
        };
        report(0, 0);
        const std::string name = source.stem().string();
        const auto track = TRY(prepareTrack(converter, folder, source, log));
        result.workWAVs.push_back(track.wav);
        result.intermediates.push_back(track.wav);
        if (track.silent) {
            report(track.seconds, track.seconds);
            continue;
        }
        report(0, track.seconds);
        const auto* envelope = track.envelope ? &*track.envelope : nullptr;
        const RecogniserCommand& recognition = recognitions[i];
        std::vector<TranscriptSegment> segments;
        if (!stored[i].empty()) {
            const auto raw = TRY(recogniseRest(folder, name, source, whisper, recognition, std::move(stored[i]), log,
                                               [&](double recognised, double) { report(recognised, track.seconds); }));
            segments = Transcriber::filterSegments(raw, speaker, envelope, log);
        } else {
            // whisper-cli exits 0 without writing anything when it can't decode its input, so a JSON
            // left by an earlier run must not be mistaken for this run's result: it goes (or the run
            // stops), and the recogniser writes into an empty file made here, never through a link.
            const auto json = recognition.jsonURL();
            const std::string jsonName = json.filename().string();
            TRY(removeFile(json, "Не удалось удалить прежний результат распознавания"));
            if (auto created = createFileReplacing(json, O_WRONLY, "Не удалось создать"); !created)
                return failure(explainWriteFailure(created.error(), folder, jsonName));
            StepOutput step(json);
            {
                std::optional<RecogniserProgress> recognising;
                if (progress)
                    recognising.emplace(log.descriptor(), [&](double seconds) { report(seconds, track.seconds); });
                TRY(Transcriber::runProcess(whisper, recognition.arguments(), log));
            }
            if (std::error_code error; std::filesystem::file_size(json, error) == 0 || error)
                return failure(explainWriteFailure(
                    Error::platform(whisper.filename().string() + " не создал файл «" + json.string() +
                                    "». Подробности в whisper.log в папке записи."),
                    folder, jsonName));

            auto parsed = Transcriber::parseSegments(json, speaker, envelope, log);
            if (!parsed)
                return failure(explainWriteFailure(parsed.error(), folder, jsonName));
            step.keep();
            result.intermediates.push_back(json);
            segments = std::move(*parsed);
        }
        if (name == "system")
            systemWAV = track.wav;
        else if (checkedForEcho(source, systemWAV ? &*systemWAV : nullptr))
            EchoAnalysis::dropEchoes(*systemWAV, track.wav, segments, log);
        result.utterances.insert(result.utterances.end(), std::make_move_iterator(segments.begin()),
                                 std::make_move_iterator(segments.end()));
        report(track.seconds, track.seconds);
    }
    return result;
}

// Every capture's stretches up to near its end were recognised while it was being recorded: only
// the rests are left for the recogniser, one after the other, and the work that needs none (the
// conversions, the loudness and the microphone's echo analysis) goes on beside them instead of
// before and after. The microphone goes first, so that its echo analysis overlaps the other
// track's recognition. The outcome is the one-after-another run's, to the byte.
Result<RecognisedTracks> recogniseBesideTheRest(const TrackRun& run, std::vector<std::vector<StoredStretch>> stored) {
    const auto& [folder, converter, whisper, sources, recognitions, log, progress] = run;
    // Waited for on every way out: the futures' destructors block.
    auto preparing = std::async(std::launch::async, [&]() -> Result<std::vector<PreparedTrack>> {
        std::vector<PreparedTrack> tracks;
        tracks.reserve(sources.size());
        for (const auto& source : sources)
            tracks.push_back(TRY(prepareTrack(converter, folder, source.source, log)));
        return tracks;
    });
    // Taken once the first rest is recognised, when it is needed for the filter.
    std::optional<std::vector<PreparedTrack>> tracks;

    const std::size_t count = sources.size();
    const auto systemAt = static_cast<std::size_t>(
        std::ranges::find_if(sources, [](const Source& source) { return source.source.stem() == "system"; }) -
        sources.begin());
    std::vector<std::vector<TranscriptSegment>> kept(count);
    std::size_t keptSoFar = 0;
    std::future<void> echo;
    int trackIndex = 0;
    for (std::size_t i = count; i-- > 0;) {
        const auto& [speaker, source] = sources[i];
        ++trackIndex;
        const auto report = [&, label = speaker](double recognisedSeconds, double trackSeconds) {
            if (progress)
                progress({label, trackIndex, static_cast<int>(count), recognisedSeconds, trackSeconds, keptSoFar});
        };
        const auto raw = TRY(recogniseRest(folder, source.stem().string(), source, whisper, recognitions[i],
                                           std::move(stored[i]), log, report));
        if (!tracks)
            tracks = TRY(preparing.get());
        const PreparedTrack& track = (*tracks)[i];
        if (track.silent)
            continue;
        kept[i] = Transcriber::filterSegments(raw, speaker, track.envelope ? &*track.envelope : nullptr, log);
        keptSoFar += kept[i].size();
        const bool systemSounded = systemAt < count && !(*tracks)[systemAt].silent;
        if (checkedForEcho(source, systemSounded ? &(*tracks)[systemAt].wav : nullptr))
            echo = std::async(std::launch::async, [&systemWAV = (*tracks)[systemAt].wav, &track, &segments = kept[i],
                                                   &log] { EchoAnalysis::dropEchoes(systemWAV, track.wav, segments, log); });
        report(track.seconds, track.seconds);
    }
    if (echo.valid())
        echo.get();

    RecognisedTracks result;
    for (std::size_t i = 0; i < count; ++i) {
        result.workWAVs.push_back((*tracks)[i].wav);
        result.utterances.insert(result.utterances.end(), std::make_move_iterator(kept[i].begin()),
                                 std::make_move_iterator(kept[i].end()));
    }
    result.intermediates = result.workWAVs;
    if (progress)
        progress({sources.front().speaker, trackIndex, static_cast<int>(count), tracks->front().seconds,
                  tracks->front().seconds, result.utterances.size()});
    return result;
}

} // namespace

std::optional<std::filesystem::path> Transcriber::findWhisperCLI() {
    std::vector<std::filesystem::path> candidates;
    if (const auto resources = Paths::resourceDirectory())
        candidates.push_back(*resources / "bin" / "whisper-cli");
    for (const char* path : {"/opt/homebrew/bin/whisper-cli", "/usr/local/bin/whisper-cli", "/opt/homebrew/bin/whisper-cpp",
                             "/usr/local/bin/whisper-cpp", "/usr/bin/whisper-cli"})
        candidates.emplace_back(path);
    candidates.push_back(Paths::homeDirectory() / ".local" / "bin" / "whisper-cli");
    candidates.emplace_back("/home/linuxbrew/.linuxbrew/bin/whisper-cli");
    for (const auto& candidate : candidates)
        if (isExecutableFile(candidate))
            return candidate;
    return findInPath("whisper-cli");
}

int Transcriber::recogniserThreads() {
    cpu_set_t set;
    CPU_ZERO(&set);
    int available = 1;
    if (sched_getaffinity(0, sizeof set, &set) == 0)
        available = CPU_COUNT(&set);
    return std::max(available - 2, 4);
}

void Transcriber::log(std::string_view message, LogFile& log) { log.line(message); }

int Transcriber::runsInProgress() { return runningRuns.load(); }

Result<void> Transcriber::runProcess(const std::filesystem::path& executable, const std::vector<std::string>& arguments,
                                     LogFile& log, const std::vector<int>& passedDescriptors, ChildCancel* cancel) {
    const auto outcome = TRY(runChildProcess(
        executable, arguments, ChildStreams{ChildOutput::toDescriptor, log.descriptor(), {}, passedDescriptors, cancel}));
    if (outcome.succeeded())
        return {};
    const std::string tool = executable.filename().string();
    if (outcome.kind == ProcessOutcome::Kind::signalled) {
        const std::string words = signalWords(outcome.code);
        return failure(Error::platform(tool + " аварийно завершился (сигнал " + std::to_string(outcome.code) + ", " +
                                           words + "). Подробности в whisper.log в папке записи.",
                                       ErrorSource::signal, outcome.code, words));
    }
    return failure(ZorvelError::processFailed(tool, outcome.code));
}

Result<std::filesystem::path> Transcriber::transcribe(const std::filesystem::path& folder, TimePoint startedAt,
                                                      const TranscriptionProgressCallback& progress) const {
    const RunInProgress counted;
    const auto whisper = findWhisperCLI();
    if (!whisper)
        return failure(ZorvelError::whisperNotFound());
    // A file that is no model would only make whisper-cli fail with a bare status after the
    // conversion, and would keep the menu from offering the download again.
    const auto model = Paths::modelURL();
    const auto modelCheck = checkWhisperModel(model);
    if (modelCheck.state == ModelFileCheck::State::missing)
        return failure(ZorvelError::modelMissing());
    if (modelCheck.isDamaged())
        return failure(ZorvelError::modelDamaged(model.string()));
    const auto converter = TRY(Converter::find());

    // One run per folder, and none while it is being recorded.
    auto lock = FolderLock::acquire(folder);
    if (!lock && (lock.error().code() == ENOENT || lock.error().code() == ENOTDIR))
        return failure(Error::fromErrno("Не удалось открыть журнал", folder / "whisper.log",
                                        static_cast<int>(*lock.error().code())));
    if (!lock)
        return failure(lock.error());
    auto transcript = folder / "transcript.md";
    if (finishInterruptedTidyUp(folder)) {
        StretchStore::remove(folder);
        return transcript;
    }
    removeLeftoversOfKilledRuns(folder);

    LogFile logFile = TRY(LogFile::create(folder / "whisper.log"));

    // A damaged voice-activity model would make whisper-cli refuse every track: it is left out.
    const auto passedOver = [&](const std::filesystem::path& damaged, const std::string& reason) {
        log("Модель определения речи " + damaged.string() + " повреждена (" + reason + ") — не используется",
            logFile);
    };
    const auto vadModel = Paths::vadModelURL(passedOver);
    if (const auto refused = Paths::refusedModelName())
        log("Настройка recognitionModel «" + *refused + "» не подходит как имя файла модели — используется " +
                model.filename().string(),
            logFile);

    const auto sources = sourcesIn(folder);
    if (sources.empty())
        return failure(ZorvelError::noAudioFiles());

    // What was recognised while the captures were being recorded (or by a run that stopped half
    // way) stands; only the rest is recognised now. Each capture is read back whole to tell, all
    // of them at once.
    std::vector<RecogniserCommand> recognitions;
    std::vector<std::future<std::vector<StoredStretch>>> checks;
    for (const auto& [speaker, source] : sources) {
        const std::string name = source.stem().string();
        recognitions.push_back(
            {model, m_language, recogniserThreads(), folder / name, vadModel, folder / (name + "-16k.wav")});
        if (isCapture(source))
            checks.push_back(std::async(std::launch::async, StretchStore::reusable, folder, name, source,
                                        RecogniserSettings::of(recognitions.back())));
        else
            checks.push_back(std::async(std::launch::deferred, [] { return std::vector<StoredStretch>{}; }));
    }
    std::vector<std::vector<StoredStretch>> stored;
    stored.reserve(checks.size());
    for (auto& check : checks)
        stored.push_back(check.get());
    const TrackRun run{folder, converter, *whisper, sources, recognitions, logFile, progress};
    auto [workWAVs, intermediates, utterances] = std::ranges::none_of(stored, &std::vector<StoredStretch>::empty)
                                                     ? TRY(recogniseBesideTheRest(run, std::move(stored)))
                                                     : TRY(recogniseOneAfterAnother(run, std::move(stored)));

    // Room for the lines that say why the tidy-up stopped, should the disk be full by then.
    logFile.reserve(std::size_t{16} * 1024);
    if (auto written = writeFileAtomically(transcript, renderTranscript(utterances, startedAt), TemporaryName::fixed);
        !written)
        return failure(explainWriteFailure(written.error(), folder, transcript.filename().string()));

    if (utterances.empty()) {
        log("Речь не распознана — исходники и лог оставлены на месте", logFile);
        logFile.close();
        return transcript;
    }
    std::vector<std::filesystem::path> sourcePaths;
    sourcePaths.reserve(sources.size());
    for (const auto& source : sources)
        sourcePaths.push_back(source.source);
    intermediates.insert(intermediates.begin(), folder / "whisper.log");
    tidyUp(folder, sourcePaths, workWAVs, intermediates, logFile);
    // The stored stretches matter only as long as the captures they were recognised from.
    if (std::none_of(sourcePaths.begin(), sourcePaths.end(), [](const auto& path) { return fileExists(path); }))
        StretchStore::remove(folder);
    return transcript;
}

} // namespace zorvel
