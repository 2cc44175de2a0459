#include "recording/TrackWriter.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace zorvel {

namespace {
// The worker writes what has queued up this often instead of waking for every buffer: the sound
// server delivers buffers of a few milliseconds, and a wake-up, a write and a header update for
// each of them cost more CPU than everything else in a recording. A killed process loses at
// most this much more audio.
constexpr auto writeInterval = std::chrono::milliseconds(100);
} // namespace

Result<std::unique_ptr<TrackWriter>> TrackWriter::create(const std::filesystem::path& path, AudioFormat fileFormat,
                                                         SteadyTime origin, Inspector inspector) {
    AudioFileWriter file = TRY(AudioFileWriter::create(path, fileFormat, HeaderUpdate::afterEveryWrite));
    std::unique_ptr<TrackWriter> writer(new TrackWriter(std::move(file), origin, std::move(inspector)));
    writer->m_worker = std::thread([raw = writer.get()] { raw->run(); });
    return writer;
}

TrackWriter::TrackWriter(AudioFileWriter file, SteadyTime origin, Inspector inspector)
    : m_file(std::move(file)), m_fileFormat(m_file.format()), m_origin(origin), m_inspector(std::move(inspector)),
      m_alignment(m_fileFormat.sampleRate) {}

TrackWriter::~TrackWriter() { finish(); }

double TrackWriter::elapsedSeconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_origin).count();
}

void TrackWriter::push(const AudioFormat& deviceFormat, const void* samples, std::int64_t frames) {
    if (frames <= 0 || deviceFormat.channels <= 0 || deviceFormat.sampleRate <= 0)
        return;
    const std::size_t bytes = static_cast<std::size_t>(frames) * static_cast<std::size_t>(deviceFormat.channels) *
                              static_cast<std::size_t>(bytesPerSample(deliveredSampleType(deviceFormat.sampleFormat)));
    Chunk chunk{deviceFormat, std::vector<std::byte>(bytes), frames};
    std::memcpy(chunk.bytes.data(), samples, bytes);
    chunk.arrivedAt = elapsedSeconds();
    {
        const std::lock_guard lock(m_mutex);
        if (m_finishAt)
            return;
        chunk.afterGap = std::exchange(m_gapPending, false);
        m_queue.push_back(std::move(chunk));
    }
}

void TrackWriter::markGap() {
    const std::lock_guard lock(m_mutex);
    m_gapPending = true;
}

void TrackWriter::finish() {
    {
        const std::lock_guard lock(m_mutex);
        if (!m_finishAt)
            m_finishAt = elapsedSeconds();
    }
    m_wake.notify_one();
    if (m_worker.joinable())
        m_worker.join();
}

void TrackWriter::run() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait_for(lock, writeInterval, [this] { return m_finishAt.has_value(); });
        std::deque<Chunk> batch;
        batch.swap(m_queue);
        const std::optional<double> finishAt = m_finishAt;
        lock.unlock();
        if (!batch.empty())
            writeBatch(batch);
        else if (!finishAt)
            writeSilence(m_alignment.idleSilence(elapsedSeconds(), m_file.framesWritten()));
        if (finishAt) {
            writeSilence(m_alignment.finalSilence(*finishAt, m_file.framesWritten()));
            return;
        }
        lock.lock();
    }
}

void TrackWriter::writeBatch(std::deque<Chunk>& batch) {
    // Each buffer is placed by when it arrived, exactly as if the worker had woken for it: a
    // backlog is told from a gap by the arrival times, and the alignment learns from every buffer.
    for (auto chunk = batch.begin(); chunk != batch.end(); ++chunk)
        placeAndWrite(chunk, std::next(chunk), chunk->arrivedAt);
}

void TrackWriter::placeAndWrite(const std::deque<Chunk>::iterator& begin, const std::deque<Chunk>::iterator& end,
                                double elapsed) {
    double fileFrames = 0;
    for (auto chunk = begin; chunk != end; ++chunk)
        fileFrames += static_cast<double>(chunk->frames) * m_fileFormat.sampleRate / chunk->format.sampleRate;
    const auto placement = m_alignment.place(elapsed, m_file.framesWritten(),
                                             static_cast<std::int64_t>(fileFrames), begin->afterGap);
    writeSilence(placement.silenceBefore);
    std::int64_t dropFrames = placement.dropFromStart;
    for (auto chunk = begin; chunk != end; ++chunk)
        writeChunk(*chunk, dropFrames);
}

void TrackWriter::writeChunk(Chunk& chunk, std::int64_t& dropFrames) {
    const SampleType type = deliveredSampleType(chunk.format.sampleFormat);
    if (m_inspector)
        m_inspector(chunk.bytes.data(), type, chunk.frames * chunk.format.channels);
    // A failed conversion or write loses this buffer only; capture goes on.
    if (chunk.format != m_fileFormat) {
        AudioConverter* converter = converterFor(chunk.format);
        if (converter == nullptr)
            return;
        const auto converted = converter->convert(chunk.bytes.data(), type, chunk.frames);
        if (!converted)
            return;
        auto [samples, frames] = *converted;
        const std::int64_t skip = std::min(dropFrames, frames);
        dropFrames -= skip;
        if (frames > skip)
            (void)m_file.write(samples + skip * m_fileFormat.channels, frames - skip);
        return;
    }
    const std::int64_t skip = std::min(dropFrames, chunk.frames);
    dropFrames -= skip;
    if (chunk.frames == skip)
        return;
    const std::int64_t offset = skip * chunk.format.channels;
    const std::int64_t frames = chunk.frames - skip;
    switch (type) {
    case SampleType::float32:
        (void)m_file.write(reinterpret_cast<const float*>(chunk.bytes.data()) + offset, frames);
        break;
    case SampleType::int16:
        (void)m_file.write(reinterpret_cast<const std::int16_t*>(chunk.bytes.data()) + offset, frames);
        break;
    case SampleType::int32:
        (void)m_file.write(reinterpret_cast<const std::int32_t*>(chunk.bytes.data()) + offset, frames);
        break;
    }
}

AudioConverter* TrackWriter::converterFor(const AudioFormat& deviceFormat) {
    if (m_converterFormat != deviceFormat) {
        m_converterFormat = deviceFormat;
        auto created = AudioConverter::create(deviceFormat, m_fileFormat.sampleRate, m_fileFormat.channels);
        m_converter = created ? std::move(*created) : nullptr;
    }
    return m_converter.get();
}

void TrackWriter::writeSilence(std::int64_t frames) {
    if (frames > 0)
        (void)m_file.writeSilence(frames);
}

} // namespace zorvel
