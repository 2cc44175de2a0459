#pragma once

#include "audio/TrackLevels.h"
#include "pipeline/RecogniserCommand.h"
#include "support/ChildProcess.h"

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace zorvel {

// One capture being recorded, as background recognition sees it.
struct BackgroundTrack {
    std::string name; // "system", "mic"
    std::filesystem::path capture;
    std::shared_ptr<const TrackLevels> levels;
};

// The recogniser and its command for background work, or nothing when there is none to run.
struct BackgroundRecogniser {
    std::filesystem::path whisper;
    RecogniserCommand command; // model, language, threads, voice activity
};

// Recognises the finished stretches of a recording's tracks while it goes on (see StretchPlanner
// and StretchStore), so that only the last stretch is left at the stop. The recording's audio
// always wins: the worker and the recogniser it starts run at the lowest CPU priority
// (SCHED_IDLE, nice 19), with one thread fewer than the cores, one stretch at a time. When it
// falls behind, stretches wait their turn: the planner always goes on from the end of the last
// recognised stretch, so none is dropped. When it has kept up, it takes half-minute stretches
// rather than wait for a full one, so that the stop finds little left.
//
// Threads: created, read and stopped on the owner's thread; the work happens on a worker thread.
class BackgroundRecognition {
public:
    using LookUp = std::function<std::optional<BackgroundRecogniser>()>;

    // Starts the worker; `lookUp` runs on it first (it may take a while: the model is checked).
    BackgroundRecognition(std::filesystem::path folder, std::vector<BackgroundTrack> tracks, LookUp lookUp);
    ~BackgroundRecognition();
    BackgroundRecognition(const BackgroundRecognition&) = delete;
    BackgroundRecognition& operator=(const BackgroundRecognition&) = delete;

    // The recogniser found as a recording would use it: whisper-cli, the model (unless missing
    // or damaged), the voice-activity model, `language`, one thread fewer than the cores.
    static std::optional<BackgroundRecogniser> lookUpRecogniser(const std::string& language);

    // Ends the stretch being recognised at once (the stop's run recognises it) and the worker.
    // Returns when nothing of it runs any more. Safe to call twice.
    void stop();

    // How far every track has been recognised, in seconds from the start.
    double recognisedSeconds() const { return m_recognisedSeconds.load(); }
    int stretchesRecognised() const { return m_stretches.load(); }

private:
    void run();
    bool waitForMore();

    const std::filesystem::path m_folder;
    const std::vector<BackgroundTrack> m_tracks;
    const LookUp m_lookUp;
    ChildCancel m_cancel;
    std::atomic<double> m_recognisedSeconds{0};
    std::atomic<int> m_stretches{0};
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false; // guarded by m_mutex
    std::thread m_worker;
};

} // namespace zorvel
