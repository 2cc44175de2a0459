#include "recording/MicRecorder.h"

#include "platform/AudioConfigurationNotifier.h"

#include <cmath>

namespace zorvel {

namespace {

float peakOf(const void* samples, SampleType type, std::int64_t count) {
    float peak = 0.0F;
    switch (type) {
    case SampleType::float32:
        for (const auto* s = static_cast<const float*>(samples); count-- > 0; ++s)
            peak = std::max(peak, std::fabs(*s));
        break;
    case SampleType::int16: {
        int largest = 0;
        for (const auto* s = static_cast<const std::int16_t*>(samples); count-- > 0; ++s)
            largest = std::max(largest, std::abs(static_cast<int>(*s)));
        peak = static_cast<float>(largest) / 32768.0F;
        break;
    }
    case SampleType::int32: {
        std::int64_t largest = 0;
        for (const auto* s = static_cast<const std::int32_t*>(samples); count-- > 0; ++s)
            largest = std::max(largest, std::abs(static_cast<std::int64_t>(*s)));
        peak = static_cast<float>(static_cast<double>(largest) / 2147483648.0);
        break;
    }
    }
    return peak;
}

// No usable input is "microphone unavailable", which keeps the sound server's words for whoever
// shows or logs them; a stream that would not start is reported in the server's words.
Error engineError(Error failed) {
    switch (failed.captureStep().value_or(CaptureStep::startStream)) {
    case CaptureStep::connect:
    case CaptureStep::readFormat:
    case CaptureStep::unsupportedFormat:
        return Error(ZorvelError::microphoneUnavailable()).causedBy(failed);
    case CaptureStep::createStream:
    case CaptureStep::startStream:
        break;
    }
    return failed;
}

} // namespace

MicRecorder::MicRecorder() : MicRecorder(AudioBackend::system()) {}

MicRecorder::MicRecorder(AudioBackend& backend)
    : m_backend(backend), m_lastSoundAt(std::chrono::steady_clock::now()) {}

MicRecorder::~MicRecorder() { stop(); }

Result<void> MicRecorder::start(const std::filesystem::path& path, std::optional<SteadyTime> origin) {
    if (m_file)
        return failure(Error::platform("Запись микрофона уже идёт"));
    m_file = TRY(TrackWriter::create(path, outputFormat, origin.value_or(std::chrono::steady_clock::now()),
                                     [this](const void* samples, SampleType type, std::int64_t count) {
                                         noteLevel(samples, type, count);
                                     }));
    if (auto started = startEngine(); !started) {
        m_file.reset();
        return started;
    }
    {
        const std::lock_guard guard(m_lock);
        m_lastSoundAt = std::chrono::steady_clock::now();
    }
    m_observer = std::make_unique<QObject>();
    QObject::connect(&AudioConfigurationNotifier::instance(), &AudioConfigurationNotifier::configurationChanged,
                     m_observer.get(), [this] { restartAfterConfigurationChange(); });
    return {};
}

Result<void> MicRecorder::startEngine() {
    auto opened = m_backend.open(CaptureDevice::defaultInput);
    if (!opened)
        return failure(engineError(std::move(opened).error()));
    std::unique_ptr<AudioCapture> engine = std::move(*opened);
    const AudioFormat deviceFormat = engine->format();
    if (deviceFormat.sampleRate <= 0 || deviceFormat.channels <= 0)
        return failure(ZorvelError::microphoneUnavailable());
    if (auto started = engine->start(m_file->beginCapture(deviceFormat)); !started) {
        m_file->endCapture();
        return failure(engineError(std::move(started).error()));
    }
    m_engine = std::move(engine);
    return {};
}

void MicRecorder::restartAfterConfigurationChange() {
    if (!m_file)
        return;
    // The old capture is gone before a new one exists, so one capture at most feeds the file.
    m_engine.reset();
    m_inputWatch.reset();
    m_file->endCapture();
    const bool started = startEngine().has_value();
    if (!started)
        m_inputWatch = m_backend.watchDefaultInput();
    const std::lock_guard guard(m_lock);
    if (started) {
        ++m_restarts;
        m_broken = false;
    } else {
        m_broken = true;
    }
}

void MicRecorder::stop() {
    m_observer.reset();
    m_inputWatch.reset();
    m_engine.reset();
    if (m_file) {
        m_file->finish();
        m_file.reset();
    }
}

void MicRecorder::noteLevel(const void* samples, SampleType type, std::int64_t sampleCount) {
    if (sampleCount <= 0 || peakOf(samples, type, sampleCount) <= levelThreshold)
        return;
    const auto now = std::chrono::steady_clock::now();
    const std::lock_guard guard(m_lock);
    m_lastSoundAt = now;
}

double MicRecorder::secondsSinceLastSound() const {
    const std::lock_guard guard(m_lock);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_lastSoundAt).count();
}

std::int64_t MicRecorder::restarts() const {
    const std::lock_guard guard(m_lock);
    return m_restarts;
}

bool MicRecorder::broken() const {
    const std::lock_guard guard(m_lock);
    return m_broken;
}

} // namespace zorvel
