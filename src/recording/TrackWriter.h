#pragma once

#include "audio/AudioConverter.h"
#include "audio/AudioFile.h"
#include "audio/TrackLevels.h"
#include "platform/AudioCapture.h"
#include "recording/TrackPlacement.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <variant>
#include <vector>

namespace zorvel {

// One capture file, written on a worker thread of its own. The captures that feed it one after
// the other hand over what the sound server delivered (frames with their stream positions, timing
// reports, pauses of the device) on the server's thread; it is copied into a queue, and
// every 100 ms the worker converts and writes what has queued, in order. Each capture's audio is
// placed in the file by the server's timing (see TrackPlacement), so that the file counts from
// `origin` like the wall clock; silence fills time without a capture and the time up to finish().
// The header is brought up to date after every write, so a file of a killed process keeps what was
// written (a capture's first fraction of a second is written once its timing has placed it).
//
// Threads: create(), beginCapture(), endCapture() and finish() on the owner's thread; the
// callbacks that beginCapture() returns on the sound server's; the inspector on the worker.
// What a writer did to keep its file on the clock once a capture was placed: silence written where
// the server's timing said audio was missing, and frames dropped where it said there was too much
// (a device clock running slow or fast). Apart from those, the frames the server itself delivered
// as missing (a hole, or a jump in its positions), written as silence of their length. Counted in
// file frames; read from any thread.
struct TimeCorrections {
    std::atomic<std::int64_t> silenceFrames{0};
    std::atomic<std::int64_t> droppedFrames{0};
    std::atomic<std::int64_t> missingFrames{0};
};

class TrackWriter {
public:
    // Sees every delivered buffer before conversion: samples of the source's delivered type.
    using Inspector = std::function<void(const void* samples, SampleType type, std::int64_t sampleCount)>;

    static Result<std::unique_ptr<TrackWriter>> create(const std::filesystem::path& path, AudioFormat fileFormat,
                                                       SteadyTime origin, Inspector inspector = {});
    ~TrackWriter();
    TrackWriter(const TrackWriter&) = delete;
    TrackWriter& operator=(const TrackWriter&) = delete;

    // A capture of a device of `deviceFormat` is about to start: returns the callbacks to give it.
    // Its frames are placed anew by their own timing, apart from any capture before. Frames of the
    // file's own format are written unchanged; others are converted, by one converter per run, so
    // the resampler's state carries over from buffer to buffer.
    CaptureCallbacks beginCapture(const AudioFormat& deviceFormat);
    // The capture is gone (or did not start): until the next one, the file grows with silence as
    // time passes.
    void endCapture();

    // The loudness of what is in the file so far, growing while it is written.
    std::shared_ptr<const TrackLevels> levels() const { return m_levels; }
    std::shared_ptr<const TimeCorrections> corrections() const { return m_corrections; }

    // Writes what is queued, pads the file to the wall clock of this moment, stops the worker and
    // closes the file. Afterwards the callbacks do nothing. Safe to call twice.
    void finish();

private:
    struct Begin {
        AudioFormat format;
    };
    struct End {};
    struct Frames {
        std::int64_t position = 0;
        std::int64_t frames = 0;
        std::vector<std::byte> bytes; // empty for missing frames
    };
    struct Paused {
        std::int64_t position = 0;
    };
    using Event = std::variant<Begin, End, Frames, CaptureTiming, Paused>;

    // The capture being written: one run of it at a time (see TrackPlacement).
    struct Run {
        AudioFormat format;
        std::unique_ptr<AudioConverter> converter;
        std::int64_t nextPosition = 0;
        std::deque<Frames> held; // until the run is placed
        std::int64_t heldFrames = 0;
        std::int64_t dropFrames = 0; // file frames still to drop
        // Where the device paused: frames from here on begin a run of their own.
        std::optional<std::int64_t> pausedAt;
    };

    TrackWriter(AudioFileWriter file, SteadyTime origin, Inspector inspector);
    void post(Event event);
    void run();
    void handle(Begin& begin);
    void handle(End& end);
    void handle(Frames& frames);
    void handle(CaptureTiming& timing);
    void handle(Paused& paused);
    void take(Frames& frames);
    void startRun(const AudioFormat& format, std::int64_t position);
    void continueAfterPause(std::int64_t position);
    void endRun();
    void flushConverter();
    void placeRun();
    void writeFrames(Frames& frames);
    void writeMissingFrames(std::int64_t frames);
    void writeDeviceFrames(const void* samples, std::int64_t frames);
    void writeFileFrames(const void* samples, SampleType type, std::int64_t frames);
    void writeSilence(std::int64_t frames);
    void padTo(double seconds);
    double secondsSinceOrigin(SteadyTime time) const;

    // Worker only, until it has ended.
    AudioFileWriter m_file;
    TrackPlacement m_placement;
    std::optional<Run> m_run;
    std::vector<std::byte> m_zeros;
    std::vector<float> m_measured;
    const std::shared_ptr<TrackLevels> m_levels;
    const std::shared_ptr<TimeCorrections> m_corrections = std::make_shared<TimeCorrections>();

    const AudioFormat m_fileFormat;
    const SteadyTime m_origin;
    const Inspector m_inspector;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Event> m_queue;        // guarded by m_mutex
    std::optional<double> m_finishAt; // guarded by m_mutex: seconds from origin, set by finish()
    std::thread m_worker;
};

} // namespace zorvel
