#include "recording/RecordingSession.h"

#include "audio/AudioFile.h"
#include "support/Paths.h"

#include <cerrno>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

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
    const auto root = Paths::recordingsRoot();
    std::error_code error;
    std::filesystem::create_directories(root, error);
    if (error)
        return failure(Error::fromErrno("Не удалось создать папку записи", root, error.value()));
    // mkdir() fails on an existing name, so two sessions never share a folder: a later one takes
    // the next free second, and the names still sort in recording order.
    constexpr int maximumSecondsAhead = 3600;
    for (int ahead = 0;; ++ahead) {
        session->m_folderURL = root / folderName(session->m_startedAt + std::chrono::seconds(ahead));
        if (::mkdir(session->m_folderURL.c_str(), 0777) == 0)
            break;
        if (errno != EEXIST || ahead == maximumSecondsAhead)
            return failure(Error::fromErrno("Не удалось создать папку записи", session->m_folderURL, errno));
    }
    auto lock = FolderLock::acquire(session->m_folderURL);
    if (!lock) {
        ::rmdir(session->m_folderURL.c_str());
        return failure(lock.error());
    }
    session->m_lock.emplace(std::move(*lock));
    return session;
}

Result<void> RecordingSession::start() {
    // One instant for both files, so that their times agree even though the microphone starts a
    // little later.
    const SteadyTime origin = std::chrono::steady_clock::now();
    if (auto started = m_systemRecorder.start(m_folderURL / "system.caf", origin); !started) {
        removeFolderIfNothingWasRecorded();
        return started;
    }
    if (m_micEnabled) {
        if (auto started = m_micRecorder.start(m_folderURL / "mic.caf", origin); !started) {
            m_systemRecorder.stop();
            removeFolderIfNothingWasRecorded();
            return started;
        }
    }
    return {};
}

void RecordingSession::stop() {
    m_systemRecorder.stop();
    if (m_micEnabled)
        m_micRecorder.stop();
    m_lock.reset();
}

// A failed start would otherwise leave an empty folder that "the newest recording" would then
// point at. Only what this session made and what holds no audio goes; anything else keeps the
// folder.
void RecordingSession::removeFolderIfNothingWasRecorded() {
    for (const char* name : {"system.caf", "mic.caf"}) {
        const auto capture = m_folderURL / name;
        if (const auto reader = AudioFileReader::open(capture); reader && reader->length() == 0)
            ::unlink(capture.c_str());
    }
    m_lock.reset();
    ::rmdir(m_folderURL.c_str());
}

} // namespace zorvel
