#pragma once

#include "pipeline/LoudnessEnvelope.h"
#include "pipeline/TranscriptSegment.h"
#include "pipeline/WhisperJson.h"
#include "support/ChildProcess.h"
#include "support/Error.h"
#include "support/LogFile.h"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zorvel {

using TimePoint = std::chrono::system_clock::time_point;

// How far a run has come: reported when a track begins (its length not known yet), once it is
// converted, as the recogniser gets through it (the end of the latest segment it printed), and
// when the track is done.
struct TranscriptionProgress {
    std::string speaker;
    int trackIndex = 0; // from 1
    int trackCount = 0;
    double recognisedSeconds = 0;
    double trackSeconds = 0; // 0 until known
    // Utterances kept so far, over the tracks done; 0 after the last track means no speech.
    std::size_t utterances = 0;
};

// Called from the run's thread and, while the recogniser runs, from a thread of the run's own;
// never two calls at once.
using TranscriptionProgressCallback = std::function<void(const TranscriptionProgress&)>;

// Turns one recording folder into "transcript.md": converts each track to a 16 kHz mono work
// WAV, measures it, skips silent tracks, runs whisper-cli on the others, filters the utterances,
// drops the microphone's echoes of the system track (unless the "echoAnalysis" setting is off),
// renders the transcript and, when speech was found, mixes "audio.m4a" and tidies the folder.
//
// Nothing of a recording is lost: a run holds the folder's lock (FolderLock) throughout, creates
// every file it writes anew and never through a link, checks each tool's output instead of
// trusting its exit status, and deletes the captures only once "audio.m4a" has been proven
// complete and is on the disk, with the deletions journalled so that a run killed half way is
// finished by the next one.
//
// A run is synchronous and uses only its calling thread; child processes run one at a time.
// The object holds only its language, so runs are independent of each other.
class Transcriber {
public:
    explicit Transcriber(std::string language) : m_language(std::move(language)) {}

    // Returns the location of "transcript.md" in `folder`. What a failed run leaves in the folder:
    // nothing when the recogniser, the model or the converter is missing or another run or a
    // recording holds the folder; otherwise everything made so far, but nothing half-written.
    Result<std::filesystem::path> transcribe(const std::filesystem::path& folder, TimePoint startedAt,
                                             const TranscriptionProgressCallback& progress = {}) const;

    // How many runs are going on in this process, for quitting: once Zorvel is told to end (see
    // TerminationSignals), each run stops its child, cleans up and returns.
    static int runsInProgress();

    // The first recogniser executable the current user may run, looked up afresh on every call:
    // bin/whisper-cli in the resource directory, the usual install places, then $PATH.
    static std::optional<std::filesystem::path> findWhisperCLI();

    // Runs a tool with its output on the log, handing it `passedDescriptors` (see
    // passedDescriptorPath). A non-zero exit is processFailed with the tool's file name; death by
    // a signal and a failed start are reported as such.
    static Result<void> runProcess(const std::filesystem::path& executable, const std::vector<std::string>& arguments,
                                   LogFile& log, const std::vector<int>& passedDescriptors = {},
                                   ChildCancel* cancel = nullptr);

    // "[zorvel] " + message + "\n" into the log; never fails.
    static void log(std::string_view message, LogFile& log);

    // Reads one track's recogniser output and keeps the utterances that pass the filter:
    // trimmed, at least two letters or digits, no known hallucination, not placed on silence
    // (only when an envelope is given). Dropped hallucinations and silent utterances are logged.
    static Result<std::vector<TranscriptSegment>> parseSegments(const std::filesystem::path& json,
                                                                const std::string& speaker,
                                                                const LoudnessEnvelope* envelope, LogFile& log);

    // The filter of parseSegments over segments already read, with their times on the track.
    static std::vector<TranscriptSegment> filterSegments(const std::vector<WhisperSegment>& segments,
                                                         const std::string& speaker, const LoudnessEnvelope* envelope,
                                                         LogFile& log);

    // The Markdown transcript: a dated heading, then one paragraph per stretch of one speaker.
    static std::string renderTranscript(const std::vector<TranscriptSegment>& segments, TimePoint startedAt);

    // After a run with speech: mixes the work WAVs into "audio.m4a" and deletes the captures and
    // every intermediate file, the log last, only once "audio.m4a" decodes from start to end with
    // the captures' duration and is on the disk. Never fails; when it can't prove that, it keeps
    // everything and says why in the log.
    static void tidyUp(const std::filesystem::path& folder, const std::vector<std::filesystem::path>& sources,
                       const std::vector<std::filesystem::path>& workWAVs,
                       const std::vector<std::filesystem::path>& intermediates, LogFile& log);

    // Finishes the deletions of a tidy-up that was killed half way (its journal is in the folder).
    // True when that run is thereby complete: its "transcript.md" and "audio.m4a" are there.
    static bool finishInterruptedTidyUp(const std::filesystem::path& folder);

    // All processors available to this process but two, never fewer than 4.
    static int recogniserThreads();

private:
    std::string m_language;
};

} // namespace zorvel
