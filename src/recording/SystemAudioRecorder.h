#pragma once

#include "platform/AudioCapture.h"
#include "recording/TrackWriter.h"
#include "support/Error.h"

#include <QObject>
#include <filesystem>
#include <memory>
#include <optional>

namespace zorvel {

// Records everything the computer plays: the monitor of the default output, in that output's own
// format (stereo as the output is), written unconverted into one file. Playback is not affected.
// When the default output changes, or the monitored one goes away, it follows: it captures the
// new default output's monitor and keeps writing the same file, converting when the new output's
// format differs from the file's.
//
// Threads: start(), stop() and the following on the main thread (the following is delivered
// through the Qt event loop); buffers are copied on the sound server's thread and written on the
// file's one worker thread, never on the sound server's.
class SystemAudioRecorder {
public:
    SystemAudioRecorder();
    explicit SystemAudioRecorder(AudioBackend& backend);
    // Stops a recording its owner forgot to stop.
    ~SystemAudioRecorder();
    SystemAudioRecorder(const SystemAudioRecorder&) = delete;
    SystemAudioRecorder& operator=(const SystemAudioRecorder&) = delete;

    // Sets up the capture and the file and starts capturing. A failed step is a
    // ZorvelError::coreAudio with its step's text and the sound server's error code, which also
    // carries the step and the server's own words (or the file's platform error); whatever the failed start had set up is released before it returns, and a
    // file it created stays on disk. `origin` is the instant the file's first frame stands for.
    Result<void> start(const std::filesystem::path& path, std::optional<SteadyTime> origin = {});

    // The loudness of the capture file as it is written; nothing before start().
    std::shared_ptr<const TrackLevels> levels() const { return m_file ? m_file->levels() : nullptr; }
    std::shared_ptr<const TimeCorrections> corrections() const { return m_file ? m_file->corrections() : nullptr; }

    // Stops the capture, releases the connection, drains the writer and closes the file. Safe to call
    // when nothing or only part was set up, and twice.
    void stop();

    // Whether a capture currently feeds the file (false between losing an output and finding one).
    bool isCapturing() const { return m_capture != nullptr; }

private:
    Result<void> startCapture(AudioCapture& capture);
    void followDefaultOutput();
    void cleanup();

    AudioBackend& m_backend;
    // Declared before the capture: the capture, whose callback feeds the file, must go first.
    std::unique_ptr<TrackWriter> m_file;
    std::unique_ptr<AudioCapture> m_capture;
    // Receives the follow requests on the main thread; present while recording.
    std::unique_ptr<QObject> m_follower;
};

} // namespace zorvel
