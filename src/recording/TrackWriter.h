#pragma once

#include "audio/AudioFile.h"
#include "platform/AudioCapture.h"
#include "recording/AudioConverter.h"
#include "recording/WallClockAlignment.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace zorvel {

using SteadyTime = std::chrono::steady_clock::time_point;

// One capture file, written on a worker thread of its own: buffers handed over on the sound
// server's thread are copied into a queue, and every 100 ms the worker converts and writes what
// has queued, in order, keeping the file aligned to the wall clock from `origin` (see
// WallClockAlignment). The header is brought up to date after every write, so a file of a killed
// process keeps what was written.
//
// Threads: create() and finish() on the owner's thread; push() on any thread (the sound server's);
// the inspector on the worker.
class TrackWriter {
public:
    // Sees every delivered buffer before conversion: samples of the source's delivered type.
    using Inspector = std::function<void(const void* samples, SampleType type, std::int64_t sampleCount)>;

    static Result<std::unique_ptr<TrackWriter>> create(const std::filesystem::path& path, AudioFormat fileFormat,
                                                       SteadyTime origin, Inspector inspector = {});
    ~TrackWriter();
    TrackWriter(const TrackWriter&) = delete;
    TrackWriter& operator=(const TrackWriter&) = delete;

    // Copies `frames` delivered frames of a device of `deviceFormat` into the queue and returns at
    // once. Buffers of the file's own format are written unchanged; others are converted, by one
    // converter per run of buffers of the same format, so the resampler's state carries over.
    void push(const AudioFormat& deviceFormat, const void* samples, std::int64_t frames);

    // The capture feeding the file was replaced (or is about to start): the buffers pushed from
    // now on follow a gap, which is filled with silence exactly. Owner's thread, between captures.
    void markGap();

    // Writes what is queued, pads the file to the wall clock of this moment, stops the worker and
    // closes the file. Afterwards push() does nothing. Safe to call twice.
    void finish();

private:
    struct Chunk {
        AudioFormat format;
        std::vector<std::byte> bytes;
        std::int64_t frames = 0;
        bool afterGap = false;
        double arrivedAt = 0; // seconds from the origin
    };

    TrackWriter(AudioFileWriter file, SteadyTime origin, Inspector inspector);
    void run();
    void writeBatch(std::deque<Chunk>& batch);
    void placeAndWrite(const std::deque<Chunk>::iterator& begin, const std::deque<Chunk>::iterator& end,
                       double elapsed);
    void writeChunk(Chunk& chunk, std::int64_t& dropFrames);
    AudioConverter* converterFor(const AudioFormat& deviceFormat);
    void writeSilence(std::int64_t frames);
    double elapsedSeconds() const;

    // Worker only, until it has ended.
    AudioFileWriter m_file;
    std::optional<AudioFormat> m_converterFormat;
    std::unique_ptr<AudioConverter> m_converter;

    const AudioFormat m_fileFormat;
    const SteadyTime m_origin;
    const Inspector m_inspector;
    WallClockAlignment m_alignment; // worker only

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Chunk> m_queue;        // guarded by m_mutex
    std::optional<double> m_finishAt; // guarded by m_mutex: seconds from origin, set by finish()
    bool m_gapPending = true;         // guarded by m_mutex: the first buffers follow the start
    std::thread m_worker;
};

} // namespace zorvel
