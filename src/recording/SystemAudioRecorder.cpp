#include "recording/SystemAudioRecorder.h"

#include <QTimer>

namespace zorvel {

namespace {

// When no output can be captured after a change, the recorder looks again this often.
constexpr int followRetryMilliseconds = 1000;

Error captureError(const CaptureFailure& failed) {
    switch (failed.step) {
    case CaptureStep::connect:
        return ZorvelError::coreAudio("создание системного тапа", failed.code);
    case CaptureStep::readFormat:
        return ZorvelError::coreAudio("чтение формата тапа", failed.code);
    case CaptureStep::unsupportedFormat:
        return ZorvelError::coreAudio("неподдерживаемый формат тапа", -1);
    case CaptureStep::createStream:
        return ZorvelError::coreAudio("создание агрегатного устройства", failed.code);
    case CaptureStep::installCallback:
        return ZorvelError::coreAudio("создание IO-процедуры", failed.code);
    case CaptureStep::startStream:
        break;
    }
    return ZorvelError::coreAudio("старт записи системного звука", failed.code);
}

} // namespace

SystemAudioRecorder::SystemAudioRecorder() : SystemAudioRecorder(AudioBackend::system()) {}

SystemAudioRecorder::SystemAudioRecorder(AudioBackend& backend) : m_backend(backend) {}

SystemAudioRecorder::~SystemAudioRecorder() { stop(); }

Result<void> SystemAudioRecorder::start(const std::filesystem::path& path, std::optional<SteadyTime> origin) {
    if (m_file)
        return failure(Error::platform("Запись системного звука уже идёт"));
    const SteadyTime fileOrigin = origin.value_or(std::chrono::steady_clock::now());
    auto opened = m_backend.open(CaptureDevice::defaultOutputMonitor);
    if (!opened)
        return failure(captureError(opened.error()));
    std::unique_ptr<AudioCapture> capture = std::move(*opened);
    auto file = TrackWriter::create(path, capture->format(), fileOrigin);
    if (!file)
        return failure(file.error()); // the capture is released on the way out
    m_file = std::move(*file);
    m_follower = std::make_unique<QObject>();
    if (std::optional<CaptureFailure> failed = startCapture(*capture)) {
        capture.reset();
        cleanup();
        return failure(captureError(*failed));
    }
    m_capture = std::move(capture);
    return {};
}

std::optional<CaptureFailure> SystemAudioRecorder::startCapture(AudioCapture& capture) {
    CaptureCallbacks callbacks;
    callbacks.onBuffer = [file = m_file.get(), format = capture.format()](const void* samples, std::int64_t frames) {
        file->push(format, samples, frames);
    };
    // Only a signal on the sound server's thread; the work happens on the main thread. The follower
    // outlives every capture (cleanup() releases the capture first), so it is alive here.
    callbacks.onDefaultOutputChanged = [follower = m_follower.get(), this] {
        QMetaObject::invokeMethod(follower, [this] { followDefaultOutput(); }, Qt::QueuedConnection);
    };
    return capture.start(std::move(callbacks));
}

void SystemAudioRecorder::followDefaultOutput() {
    if (!m_file)
        return;
    m_capture.reset();
    m_file->markGap();
    if (auto opened = m_backend.open(CaptureDevice::defaultOutputMonitor); opened) {
        if (!startCapture(**opened)) {
            m_capture = std::move(*opened);
            return;
        }
    }
    // No output to follow right now (and so no events to wait for): look again shortly. The
    // writer meanwhile pads the file with silence.
    QTimer::singleShot(followRetryMilliseconds, m_follower.get(), [this] {
        if (!m_capture)
            followDefaultOutput();
    });
}

void SystemAudioRecorder::cleanup() {
    // Capture first (no callback after this), then the follower, then the writer: it drains its
    // queue and closes the file.
    m_capture.reset();
    m_follower.reset();
    if (m_file) {
        m_file->finish();
        m_file.reset();
    }
}

void SystemAudioRecorder::stop() { cleanup(); }

} // namespace zorvel
