#include "pipeline/Transcriber.h"

#include "model/ModelFileCheck.h"
#include "model/ModelPaths.h"
#include "pipeline/Converter.h"
#include "pipeline/EchoAnalysis.h"
#include "pipeline/Mixdown.h"
#include "pipeline/RecogniserProgress.h"
#include "pipeline/RecogniserCommand.h"
#include "support/ChildProcess.h"
#include "support/Files.h"
#include "support/NumberText.h"
#include "support/Paths.h"
#include "support/Settings.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <libintl.h>
#include <sched.h>

namespace zorvel {

namespace {

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

Result<void> Transcriber::runProcess(const std::filesystem::path& executable, const std::vector<std::string>& arguments,
                                     LogFile& log) {
    const auto outcome = TRY(runChildProcess(executable, arguments, ChildOutput::toDescriptor, log.descriptor()));
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

    LogFile logFile = TRY(LogFile::create(folder / "whisper.log"));

    // A damaged voice-activity model would make whisper-cli refuse every track: it is left out.
    const auto passedOver = [&](const std::filesystem::path& damaged, const std::string& reason) {
        log("Модель определения речи " + damaged.string() + " повреждена (" + reason + ") — не используется",
            logFile);
    };
    const auto vadModel = Paths::vadModelURL(passedOver);

    const auto sources = sourcesIn(folder);
    if (sources.empty())
        return failure(ZorvelError::noAudioFiles());

    std::vector<std::filesystem::path> workWAVs;
    std::vector<std::filesystem::path> intermediates;
    std::vector<TranscriptSegment> utterances;
    const int trackCount = static_cast<int>(sources.size());
    int trackIndex = 0;
    // The system track's work WAV once it has been recognised: the far-end reference against
    // which the microphone's utterances are checked for echo.
    std::optional<std::filesystem::path> systemWAV;
    for (const auto& [speaker, source] : sources) {
        ++trackIndex;
        const auto report = [&, label = speaker](double recognisedSeconds, double trackSeconds) {
            if (progress)
                progress({label, trackIndex, trackCount, recognisedSeconds, trackSeconds, utterances.size()});
        };
        report(0, 0);
        const std::string name = source.stem().string();
        const auto wav = folder / (name + "-16k.wav");
        const auto conversion = Converter::workWAVCommand(source, wav);
        TRY(runProcess(conversion.executable, conversion.arguments, logFile));
        workWAVs.push_back(wav);
        intermediates.push_back(wav);

        std::optional<LoudnessEnvelope> envelope;
        double trackSeconds = 0;
        if (auto measured = LoudnessEnvelope::analyze(wav)) {
            envelope = std::move(*measured);
            // One value per 10 ms window.
            trackSeconds = static_cast<double>(envelope->values.size()) / 100.0;
            const float peak = envelope->peak();
            if (envelope->values.empty() || peak < 0.002F) {
                log("Дорожка " + name + " молчит (пик " + shortestFloatText(peak) + ") — пропущена", logFile);
                report(trackSeconds, trackSeconds);
                continue;
            }
        } else {
            log("Громкость " + name + " измерить не вышло — фильтр тишины отключён", logFile);
        }
        report(0, trackSeconds);

        const RecogniserCommand recognition{
            model, m_language, recogniserThreads(), folder / name, vadModel, wav};
        // whisper-cli exits 0 without writing anything when it can't decode its input, so a JSON
        // left by an earlier run must not be mistaken for this run's result.
        const auto json = recognition.jsonURL();
        removeQuietly(json);
        {
            std::optional<RecogniserProgress> recognised;
            if (progress)
                recognised.emplace(logFile.descriptor(), [&](double seconds) { report(seconds, trackSeconds); });
            TRY(runProcess(*whisper, recognition.arguments(), logFile));
        }
        if (!fileExists(json))
            return failure(Error::platform(whisper->filename().string() + " не создал файл «" + json.string() +
                                           "». Подробности в whisper.log в папке записи."));
        intermediates.push_back(json);

        auto segments = TRY(parseSegments(json, speaker, envelope ? &*envelope : nullptr, logFile));
        if (name == "system")
            systemWAV = wav;
        else if (name == "mic" && systemWAV && Settings::echoAnalysisEnabled())
            EchoAnalysis::dropEchoes(*systemWAV, wav, segments, logFile);
        utterances.insert(utterances.end(), std::make_move_iterator(segments.begin()),
                          std::make_move_iterator(segments.end()));
        report(trackSeconds, trackSeconds);
    }

    auto transcript = folder / "transcript.md";
    TRY(writeFileAtomically(transcript, renderTranscript(utterances, startedAt)));

    if (utterances.empty()) {
        log("Речь не распознана — исходники и лог оставлены на месте", logFile);
        logFile.close();
        return transcript;
    }
    logFile.close();
    std::vector<std::filesystem::path> sourcePaths;
    sourcePaths.reserve(sources.size());
    for (const auto& source : sources)
        sourcePaths.push_back(source.source);
    intermediates.insert(intermediates.begin(), folder / "whisper.log");
    tidyUp(folder, sourcePaths, workWAVs, intermediates);
    return transcript;
}

void Transcriber::tidyUp(const std::filesystem::path& folder, const std::vector<std::filesystem::path>& sources,
                         const std::vector<std::filesystem::path>& workWAVs,
                         const std::vector<std::filesystem::path>& intermediates) {
    const bool remixingExistingAudio = sources.size() == 1 && sources.front().filename() == "audio.m4a";
    if (!remixingExistingAudio && !workWAVs.empty()) {
        const auto mixdown = folder / "mixdown.wav";
        if (!Mixdown::mix(workWAVs, mixdown)) {
            removeQuietly(mixdown);
            return;
        }
        // Encode beside the target and rename over it, so that an older "audio.m4a" stays until
        // the new one is complete and a failed encoder leaves no half-written file behind.
        const auto m4a = folder / "audio.m4a";
        const auto encoded = folder / ".audio-encoding.m4a";
        removeQuietly(encoded);
        const auto encoding = Converter::aacCommand(mixdown, encoded);
        const auto outcome = runChildProcess(encoding.executable, encoding.arguments, ChildOutput::toNullDevice);
        removeQuietly(mixdown);
        if (!outcome || !outcome->succeeded() || std::rename(encoded.c_str(), m4a.c_str()) != 0) {
            removeQuietly(encoded);
            return;
        }
        for (const auto& source : sources)
            removeQuietly(source);
    }
    for (const auto& intermediate : intermediates)
        removeQuietly(intermediate);
}

} // namespace zorvel
