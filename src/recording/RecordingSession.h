#pragma once

#include "platform/AudioCapture.h"
#include "recording/MicRecorder.h"
#include "recording/SystemAudioRecorder.h"
#include "support/Error.h"
#include "support/FolderLock.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace zorvel {

// One recording: its folder under the recordings root, named after its start time, and its two
// recorders: "system.caf" (everything played) and, when the microphone is enabled, "mic.caf".
// Both files are aligned to the wall clock from the same instant, so their times agree.
// While it exists and until it stops, the session holds its folder's lock (FolderLock), so that no
// transcription reads or deletes a capture that is still being written.
//
// Created, started, stopped and read on the main thread. Its owner stops it before dropping it.
class RecordingSession {
public:
    using TimePoint = std::chrono::system_clock::time_point;

    // Creates a new folder (with missing parents) and the two recorders, which touch no device
    // yet, and takes the folder's lock. A folder of that name that already exists is never
    // reused: the next free second names the new one. Fails with the file system's error.
    static Result<std::unique_ptr<RecordingSession>> create(bool micEnabled,
                                                            AudioBackend& backend = AudioBackend::system());

    // "yyyy-MM-dd HH-mm-ss" in local time: names sort in recording order.
    static std::string folderName(TimePoint time);

    const std::filesystem::path& folderURL() const { return m_folderURL; }
    TimePoint startedAt() const { return m_startedAt; }
    bool micEnabled() const { return m_micEnabled; }

    // System audio first, then (when enabled) the microphone. A failure leaves nothing running: a
    // failed microphone stops the system audio again, and the microphone's error is reported.
    // The folder then goes when it holds no audio (captures without a single frame are removed
    // first); otherwise it stays, unlocked.
    Result<void> start();
    // System audio first, then the microphone, then the folder's lock. Cannot fail.
    void stop();

    // The loudness of each capture as it is written, for recognition during the recording;
    // nothing before start() (or for the microphone when it is not enabled).
    std::shared_ptr<const TrackLevels> systemLevels() const { return m_systemRecorder.levels(); }
    std::shared_ptr<const TrackLevels> micLevels() const {
        return m_micEnabled ? m_micRecorder.levels() : nullptr;
    }
    // What each track's writer did to keep it on the clock; nothing before start().
    std::shared_ptr<const TimeCorrections> systemCorrections() const { return m_systemRecorder.corrections(); }
    std::shared_ptr<const TimeCorrections> micCorrections() const { return m_micRecorder.corrections(); }

    // For the silent-microphone watchdog.
    double secondsSinceLastSound() const { return m_micRecorder.secondsSinceLastSound(); }
    bool micBroken() const { return m_micRecorder.broken(); }
    const MicRecorder& micRecorder() const { return m_micRecorder; }

private:
    RecordingSession(AudioBackend& backend, bool micEnabled);
    void removeFolderIfNothingWasRecorded();

    SystemAudioRecorder m_systemRecorder;
    MicRecorder m_micRecorder;
    bool m_micEnabled;
    TimePoint m_startedAt;
    std::filesystem::path m_folderURL;
    std::optional<FolderLock> m_lock;
};

} // namespace zorvel
