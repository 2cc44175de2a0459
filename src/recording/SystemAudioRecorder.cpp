#include "recording/SystemAudioRecorder.h"

#include <QTimer>

namespace zorvel {

namespace {

// When no output can be captured after a change, the recorder looks again this often.
constexpr int followRetryMilliseconds = 1000;

// The user-facing error of a failed capture step. Its message names the step but not the sound
// server's words, which the error keeps for whoever shows or logs it.
Error captureError(const Error& failed) {
    const auto code = static_cast<std::int32_t>(failed.code().value_or(0));
    const auto kind = [&] {
        switch (failed.captureStep().value_or(CaptureStep::startStream)) {
        case CaptureStep::connect:
            return ZorvelError::coreAudio("создание системного тапа", code);
        case CaptureStep::readFormat:
            return ZorvelError::coreAudio("чтение формата тапа", code);
        case CaptureStep::unsupportedFormat:
            return ZorvelError::coreAudio("неподдерживаемый формат тапа", -1);
        case CaptureStep::createStream:
            return ZorvelError::coreAudio("создание агрегатного устройства", code);
        case CaptureStep::startStream:
            break;
        }
        return ZorvelError::coreAudio("старт записи системного звука", code);
    }();
    return Error(kind).causedBy(failed);
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
    if (auto started = startCapture(*capture); !started) {
        capture.reset();
        cleanup();
        return failure(captureError(started.error()));
    }
    m_capture = std::move(capture);
    return {};
}

Result<void> SystemAudioRecorder::startCapture(AudioCapture& capture) {
    CaptureCallbacks callbacks = m_file->beginCapture(capture.format());
    // Only a signal on the sound server's thread; the work happens on the main thread. The follower
    // outlives every capture (cleanup() releases the capture first), so it is alive here.
    callbacks.onDefaultOutputChanged = [follower = m_follower.get(), this] {
        QMetaObject::invokeMethod(follower, [this] { followDefaultOutput(); }, Qt::QueuedConnection);
    };
    Result<void> started = capture.start(std::move(callbacks));
    if (!started)
        m_file->endCapture();
    return started;
}

void SystemAudioRecorder::followDefaultOutput() {
    if (!m_file)
        return;
    m_capture.reset();
    m_file->endCapture();
    if (auto opened = m_backend.open(CaptureDevice::defaultOutputMonitor); opened) {
        if (startCapture(**opened)) {
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
