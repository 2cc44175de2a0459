#include "recording/RecordingSession.h"

#include "support/Paths.h"

#include <ctime>

namespace zorvel {

RecordingSession::RecordingSession(AudioBackend& backend, bool micEnabled)
    : m_systemRecorder(backend), m_micRecorder(backend), m_micEnabled(micEnabled),
      m_startedAt(std::chrono::system_clock::now()) {}

std::string RecordingSession::folderName(TimePoint time) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    std::tm local{};
    ::localtime_r(&seconds, &local);
    char text[32];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H-%M-%S", &local);
    return {text, length};
}

Result<std::unique_ptr<RecordingSession>> RecordingSession::create(bool micEnabled, AudioBackend& backend) {
    std::unique_ptr<RecordingSession> session(new RecordingSession(backend, micEnabled));
    session->m_folderURL = Paths::recordingsRoot() / folderName(session->m_startedAt);
    std::error_code error;
    std::filesystem::create_directories(session->m_folderURL, error);
    if (error)
        return failure(Error::fromErrno("Не удалось создать папку записи", session->m_folderURL, error.value()));
    return session;
}

Result<void> RecordingSession::start() {
    // One instant for both files, so that their times agree even though the microphone starts a
    // little later.
    const SteadyTime origin = std::chrono::steady_clock::now();
    TRY(m_systemRecorder.start(m_folderURL / "system.caf", origin));
    if (m_micEnabled) {
        if (auto started = m_micRecorder.start(m_folderURL / "mic.caf", origin); !started) {
            m_systemRecorder.stop();
            return started;
        }
    }
    return {};
}

void RecordingSession::stop() {
    m_systemRecorder.stop();
    if (m_micEnabled)
        m_micRecorder.stop();
}

} // namespace zorvel
