#include "recording/TrackWriter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

namespace zorvel {

namespace {
// The worker writes what has queued up this often instead of waking for every buffer: the sound
// server delivers buffers of a few milliseconds, and a wake-up, a write and a header update for
// each of them cost more CPU than everything else in a recording. A killed process loses at
// most this much more audio.
constexpr auto writeInterval = std::chrono::milliseconds(100);

// Missing frames are written from a buffer of zeros this long at a time.
constexpr std::int64_t zeroBlockFrames = 4096;

std::size_t frameBytes(const AudioFormat& format) {
    return static_cast<std::size_t>(format.channels) *
           static_cast<std::size_t>(bytesPerSample(deliveredSampleType(format.sampleFormat)));
}
} // namespace

Result<std::unique_ptr<TrackWriter>> TrackWriter::create(const std::filesystem::path& path, AudioFormat fileFormat,
                                                         SteadyTime origin, Inspector inspector) {
    AudioFileWriter file = TRY(AudioFileWriter::create(path, fileFormat, HeaderUpdate::afterEveryWrite));
    std::unique_ptr<TrackWriter> writer(new TrackWriter(std::move(file), origin, std::move(inspector)));
    writer->m_worker = std::thread([raw = writer.get()] { raw->run(); });
    return writer;
}

TrackWriter::TrackWriter(AudioFileWriter file, SteadyTime origin, Inspector inspector)
    : m_file(std::move(file)), m_placement(m_file.format().sampleRate),
      m_levels(std::make_shared<TrackLevels>(m_file.format().sampleRate)), m_fileFormat(m_file.format()),
      m_origin(origin), m_inspector(std::move(inspector)) {}

TrackWriter::~TrackWriter() { finish(); }

double TrackWriter::secondsSinceOrigin(SteadyTime time) const {
    return std::chrono::duration<double>(time - m_origin).count();
}

CaptureCallbacks TrackWriter::beginCapture(const AudioFormat& deviceFormat) {
    post(Begin{deviceFormat});
    CaptureCallbacks callbacks;
    callbacks.onFrames = [this, bytes = frameBytes(deviceFormat)](const CapturedFrames& delivered) {
        if (delivered.frames <= 0)
            return;
        Frames frames{delivered.position, delivered.frames, {}};
        if (delivered.samples != nullptr) {
            frames.bytes.resize(static_cast<std::size_t>(delivered.frames) * bytes);
            std::memcpy(frames.bytes.data(), delivered.samples, frames.bytes.size());
        }
        post(std::move(frames));
    };
    callbacks.onTiming = [this](const CaptureTiming& timing) { post(timing); };
    callbacks.onPaused = [this](std::int64_t position) { post(Paused{position}); };
    return callbacks;
}

void TrackWriter::endCapture() { post(End{}); }

void TrackWriter::post(Event event) {
    const std::lock_guard lock(m_mutex);
    if (!m_finishAt)
        m_queue.push_back(std::move(event));
}

void TrackWriter::finish() {
    {
        const std::lock_guard lock(m_mutex);
        if (!m_finishAt)
            m_finishAt = secondsSinceOrigin(std::chrono::steady_clock::now());
    }
    m_wake.notify_one();
    if (m_worker.joinable())
        m_worker.join();
}

void TrackWriter::run() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait_for(lock, writeInterval, [this] { return m_finishAt.has_value(); });
        std::deque<Event> events;
        events.swap(m_queue);
        const std::optional<double> finishAt = m_finishAt;
        // A capture that begins after this moment has its first frame after it, so the time up to
        // here is silence when no capture has begun.
        const double takenAt = secondsSinceOrigin(std::chrono::steady_clock::now());
        lock.unlock();
        for (Event& event : events)
            std::visit([this](auto& item) { handle(item); }, event);
        if (finishAt) {
            if (m_run)
                endRun();
            padTo(*finishAt);
            return;
        }
        if (!m_run)
            padTo(takenAt);
        lock.lock();
    }
}

void TrackWriter::handle(Begin& begin) {
    if (m_run)
        endRun();
    startRun(begin.format, 0);
}

void TrackWriter::handle(End&) {
    if (m_run)
        endRun();
    m_run.reset();
}

void TrackWriter::handle(Paused& paused) {
    if (!m_run)
        return;
    // Nothing delivered since the run began: its first reports will place it anyway.
    if (!m_placement.isPlaced() && m_run->held.empty())
        return;
    if (!m_placement.isPlaced())
        placeRun();
    // Frames before the pause may still be on their way; they belong to the run as it is.
    if (paused.position > m_run->nextPosition) {
        m_run->pausedAt = paused.position;
        return;
    }
    continueAfterPause(paused.position);
}

void TrackWriter::handle(Frames& frames) {
    if (!m_run)
        return;
    // As soon as it arrives, whether or not its place is known yet.
    if (m_inspector && !frames.bytes.empty())
        m_inspector(frames.bytes.data(), deliveredSampleType(m_run->format.sampleFormat),
                    frames.frames * m_run->format.channels);
    const std::optional<std::int64_t> pausedAt = m_run->pausedAt;
    if (!pausedAt || frames.position + frames.frames <= *pausedAt) {
        take(frames);
        return;
    }
    // The frames reach past the pause: those before it end the run, the rest begin the next.
    const std::int64_t before = std::clamp<std::int64_t>(*pausedAt - frames.position, 0, frames.frames);
    const std::size_t splitAt = frames.bytes.empty() ? 0 : static_cast<std::size_t>(before) * frameBytes(m_run->format);
    Frames after{frames.position + before, frames.frames - before, {}};
    if (!frames.bytes.empty())
        after.bytes.assign(frames.bytes.begin() + static_cast<std::ptrdiff_t>(splitAt), frames.bytes.end());
    if (before > 0) {
        Frames head{frames.position, before, {}};
        if (!frames.bytes.empty())
            head.bytes.assign(frames.bytes.begin(), frames.bytes.begin() + static_cast<std::ptrdiff_t>(splitAt));
        take(head);
    }
    continueAfterPause(*pausedAt);
    take(after);
}

void TrackWriter::take(Frames& frames) {
    if (m_placement.isPlaced()) {
        writeFrames(frames);
        return;
    }
    m_run->heldFrames += frames.frames;
    m_run->held.push_back(std::move(frames));
    if (m_placement.shouldPlace(m_run->heldFrames))
        placeRun();
}

void TrackWriter::handle(CaptureTiming& timing) {
    if (!m_run)
        return;
    const std::int64_t correction = m_placement.report(timing.position, secondsSinceOrigin(timing.capturedAt));
    if (correction > 0) {
        writeSilence(correction);
        m_corrections->silenceFrames += correction;
    } else {
        m_run->dropFrames -= correction;
        m_corrections->droppedFrames -= correction;
    }
    if (m_placement.shouldPlace(m_run->heldFrames))
        placeRun();
}

void TrackWriter::startRun(const AudioFormat& format, std::int64_t position) {
    // Assigned rather than emplaced: clang cannot tell a nested struct with member initialisers
    // default-constructible inside its enclosing class.
    m_run = Run{};
    m_run->format = format;
    m_run->nextPosition = position;
    if (format != m_fileFormat) {
        auto created = AudioConverter::create(format, m_fileFormat.sampleRate, m_fileFormat.channels);
        if (created)
            m_run->converter = std::move(*created);
    }
    m_placement.beginRun(position, format.sampleRate);
}

void TrackWriter::continueAfterPause(std::int64_t position) {
    // The converter stays: if the pause turns out to be none, the audio goes on without a seam.
    m_run->pausedAt.reset();
    m_run->nextPosition = std::max(m_run->nextPosition, position);
    m_placement.beginRun(position, m_run->format.sampleRate, RunStart::afterPause);
}

void TrackWriter::endRun() {
    if (!m_placement.isPlaced())
        placeRun();
    flushConverter();
    m_run->converter.reset();
}

void TrackWriter::flushConverter() {
    // What the resampler still holds belongs before whatever comes next.
    if (m_run->converter)
        if (auto rest = m_run->converter->flush())
            writeFileFrames(rest->first, SampleType::float32, rest->second);
}

void TrackWriter::placeRun() {
    // After a pause the resampler still holds the end of the audio before it (up to about 20 ms):
    // that audio is in the file as far as the new run's place is concerned.
    const std::int64_t heldByConverter = m_run->converter ? m_run->converter->heldFrames() : 0;
    const std::int64_t fileEnd = m_file.framesWritten() + heldByConverter;
    const std::int64_t offset = m_placement.place(fileEnd);
    if (offset != 0) {
        if (m_run->converter) {
            // A seam: the resampler gives up what it holds and starts afresh after it.
            flushConverter();
            auto created = AudioConverter::create(m_run->format, m_fileFormat.sampleRate, m_fileFormat.channels);
            m_run->converter = created ? std::move(*created) : nullptr;
        }
        const std::int64_t gap = fileEnd + offset - m_file.framesWritten();
        if (gap > 0)
            writeSilence(gap);
        else
            m_run->dropFrames -= gap;
    }
    std::deque<Frames> held;
    held.swap(m_run->held);
    m_run->heldFrames = 0;
    for (Frames& frames : held)
        writeFrames(frames);
}

void TrackWriter::writeFrames(Frames& frames) {
    Run& run = *m_run;
    // Positions say where the frames belong: a gap in them is missing audio, an overlap was written.
    if (frames.position > run.nextPosition)
        writeMissingFrames(frames.position - run.nextPosition);
    const std::int64_t skip = std::clamp<std::int64_t>(run.nextPosition - frames.position, 0, frames.frames);
    run.nextPosition = std::max(run.nextPosition, frames.position + frames.frames);
    if (skip == frames.frames)
        return;
    if (frames.bytes.empty()) {
        writeMissingFrames(frames.frames - skip);
        return;
    }
    const std::size_t offset = static_cast<std::size_t>(skip) * frameBytes(run.format);
    writeDeviceFrames(frames.bytes.data() + offset, frames.frames - skip);
}

void TrackWriter::writeMissingFrames(std::int64_t frames) {
    m_corrections->missingFrames += frames * m_fileFormat.sampleRate / m_run->format.sampleRate;
    writeDeviceFrames(nullptr, frames);
}

void TrackWriter::writeDeviceFrames(const void* samples, std::int64_t frames) {
    Run& run = *m_run;
    const SampleType type = deliveredSampleType(run.format.sampleFormat);
    if (samples == nullptr) {
        // Missing frames go through the same path as delivered ones, so the resampler stays in step.
        m_zeros.assign(static_cast<std::size_t>(zeroBlockFrames) * frameBytes(run.format), std::byte{0});
        for (std::int64_t done = 0; done < frames; done += zeroBlockFrames)
            writeDeviceFrames(m_zeros.data(), std::min(zeroBlockFrames, frames - done));
        return;
    }
    // A failed conversion or write loses this buffer only; capture goes on.
    if (run.format == m_fileFormat) {
        writeFileFrames(samples, type, frames);
        return;
    }
    if (!run.converter)
        return;
    if (const auto converted = run.converter->convert(samples, type, frames))
        writeFileFrames(converted->first, SampleType::float32, converted->second);
}

void TrackWriter::writeFileFrames(const void* samples, SampleType type, std::int64_t frames) {
    std::int64_t& drop = m_run->dropFrames;
    const std::int64_t skip = std::min(drop, frames);
    drop -= skip;
    if (frames == skip)
        return;
    const std::int64_t offset = skip * m_fileFormat.channels;
    const std::int64_t count = frames - skip;
    Result<void> written;
    const float* measured = nullptr;
    switch (type) {
    case SampleType::float32:
        measured = static_cast<const float*>(samples) + offset;
        written = m_file.write(measured, count);
        break;
    case SampleType::int16:
        written = m_file.write(static_cast<const std::int16_t*>(samples) + offset, count);
        break;
    case SampleType::int32:
        written = m_file.write(static_cast<const std::int32_t*>(samples) + offset, count);
        break;
    }
    // Only what reached the file is measured, so that the levels never run ahead of it.
    if (!written)
        return;
    if (measured == nullptr) {
        const auto sampleCount = static_cast<std::size_t>(count * m_fileFormat.channels);
        m_measured.resize(sampleCount);
        const auto* bytes = static_cast<const std::byte*>(samples) + offset * bytesPerSample(type);
        samplesToFloat(bytes, type, static_cast<std::int64_t>(sampleCount), m_measured.data());
        measured = m_measured.data();
    }
    m_levels->add(measured, m_fileFormat.channels, count);
}

void TrackWriter::writeSilence(std::int64_t frames) {
    if (frames > 0 && m_file.writeSilence(frames))
        m_levels->addSilence(frames);
}

void TrackWriter::padTo(double seconds) {
    writeSilence(std::llround(seconds * m_fileFormat.sampleRate) - m_file.framesWritten());
}

} // namespace zorvel
