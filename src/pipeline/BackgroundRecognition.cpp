#include "pipeline/BackgroundRecognition.h"

#include "audio/AudioFile.h"
#include "model/ModelFileCheck.h"
#include "model/ModelPaths.h"
#include "pipeline/StretchPlanner.h"
#include "pipeline/StretchRecognition.h"
#include "pipeline/StretchStore.h"
#include "pipeline/Transcriber.h"
#include "support/LogFile.h"

#include <algorithm>
#include <limits>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

namespace zorvel {

namespace {

// How often the worker looks for a finished stretch when there is none.
constexpr auto pollInterval = std::chrono::seconds(1);

// This thread, and every child it starts from now on, runs only when nothing else wants the CPU.
void takeLowestPriority() {
    sched_param parameters{};
    ::sched_setscheduler(0, SCHED_IDLE, &parameters); // 0: the calling thread
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 19);
}

int availableProcessors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0)
        return 1;
    return CPU_COUNT(&set);
}

// Where one track stands.
struct TrackProgress {
    std::int64_t nextWindow = 0;
    StretchRecord record;
};

} // namespace

std::optional<BackgroundRecogniser> BackgroundRecognition::lookUpRecogniser(const std::string& language) {
    const auto whisper = Transcriber::findWhisperCLI();
    const auto model = Paths::modelURL();
    if (!whisper || checkWhisperModel(model).state != ModelFileCheck::State::present)
        return std::nullopt;
    RecogniserCommand command;
    command.model = model;
    command.language = language;
    command.threads = std::max(availableProcessors() - 1, 1);
    command.vadModel = Paths::vadModelURL();
    return BackgroundRecogniser{*whisper, command};
}

BackgroundRecognition::BackgroundRecognition(std::filesystem::path folder, std::vector<BackgroundTrack> tracks,
                                             LookUp lookUp)
    : m_folder(std::move(folder)), m_tracks(std::move(tracks)), m_lookUp(std::move(lookUp)) {
    m_worker = std::thread([this] { run(); });
}

BackgroundRecognition::~BackgroundRecognition() { stop(); }

void BackgroundRecognition::stop() {
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_cancel.cancel();
    m_wake.notify_all();
    if (m_worker.joinable())
        m_worker.join();
}

bool BackgroundRecognition::waitForMore() {
    std::unique_lock lock(m_mutex);
    return !m_wake.wait_for(lock, pollInterval, [this] { return m_stopping; });
}

void BackgroundRecognition::run() {
    takeLowestPriority();
    const auto recogniser = m_lookUp();
    if (!recogniser || m_cancel.cancelled())
        return;
    // The store and its log are made with the first finished stretch: a short recording gets none.
    std::optional<LogFile> log;

    std::vector<TrackProgress> progress(m_tracks.size());
    for (;;) {
        if (m_cancel.cancelled())
            return;
        // The track furthest behind first, so that both advance together.
        std::optional<std::size_t> chosen;
        std::int64_t end = 0;
        // Each track's levels from where it stands, copied once for both looks.
        std::vector<std::vector<float>> unrecognised(m_tracks.size());
        for (std::size_t i = 0; i < m_tracks.size(); ++i)
            if (m_tracks[i].levels)
                unrecognised[i] = m_tracks[i].levels->since(progress[i].nextWindow);
        const auto choose = [&](std::int64_t minimumWindows) {
            for (std::size_t i = 0; i < m_tracks.size(); ++i) {
                const auto boundary = StretchPlanner::nextBoundary(unrecognised[i], 0, minimumWindows);
                if (boundary && (!chosen || progress[i].nextWindow < progress[*chosen].nextWindow)) {
                    chosen = i;
                    end = progress[i].nextWindow + *boundary;
                }
            }
        };
        // Full stretches while there are any; a shorter one rather than nothing to do.
        choose(StretchPlanner::minimumStretchWindows);
        if (!chosen)
            choose(StretchPlanner::idleStretchWindows);
        if (!chosen) {
            if (!waitForMore())
                return;
            continue;
        }
        const BackgroundTrack& track = m_tracks[*chosen];
        TrackProgress& state = progress[*chosen];
        const std::int64_t framesPerWindow = track.levels->framesPerWindow();
        if (!log) {
            const auto store = StretchStore::prepare(m_folder);
            if (!store)
                return;
            auto created = LogFile::create(*store / "recogniser.log");
            if (!created)
                return;
            log.emplace(std::move(*created));
        }
        if (state.record.sampleRate == 0) {
            const auto reader = AudioFileReader::open(track.capture);
            if (!reader)
                return;
            state.record.sampleRate = reader->sampleRate();
            state.record.channels = reader->channels();
        }
        auto stretch = recogniseStretch(m_folder, track.name, track.capture, state.nextWindow * framesPerWindow,
                                        end * framesPerWindow, recogniser->whisper, recogniser->command, *log, &m_cancel);
        if (!stretch) {
            // Whatever went wrong is left to the run after the stop, which recognises the rest.
            if (!m_cancel.cancelled())
                Transcriber::log("Распознавание во время записи остановлено: " + stretch.error().description(), *log);
            return;
        }
        state.record.stretches.push_back(std::move(*stretch));
        if (auto saved = StretchStore::save(m_folder, track.name, state.record); !saved) {
            Transcriber::log("Не удалось сохранить распознанное: " + saved.error().description(), *log);
            return;
        }
        state.nextWindow = end;
        ++m_stretches;
        std::int64_t slowest = std::numeric_limits<std::int64_t>::max();
        for (std::size_t i = 0; i < m_tracks.size(); ++i)
            if (m_tracks[i].levels)
                slowest = std::min(slowest, progress[i].nextWindow);
        m_recognisedSeconds = static_cast<double>(slowest) * StretchPlanner::windowMs / 1000.0;
    }
}

} // namespace zorvel
