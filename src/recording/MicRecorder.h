#pragma once

#include "platform/AudioCapture.h"
#include "recording/TrackWriter.h"
#include "support/Error.h"

#include <QObject>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>

namespace zorvel {

// Records the default input into one file at 48000 Hz, mono, 32-bit float, whatever the device
// delivers, and survives device changes: on every AudioConfigurationNotifier notification it
// rebuilds its capture and keeps writing the same file (time without a device becomes silence).
// Keeps a small health record: when sound was last heard, how many rebuilds succeeded, whether
// the last one failed.
//
// Threads: construction, start(), stop(), the rebuilds (delivered through the Qt event loop) and the
// health readings on the main thread; the capture's copies on the sound server's thread; level
// checks, conversion and writing on the file's worker. `lock` guards only lastSoundAt, restarts and
// broken, each held for one field access.
class MicRecorder {
public:
    static constexpr float levelThreshold = 0.004F;
    static constexpr AudioFormat outputFormat{48000, 1, SampleFormat::float32};

    MicRecorder();
    explicit MicRecorder(AudioBackend& backend);
    // Stops a recording its owner forgot to stop.
    ~MicRecorder();
    MicRecorder(const MicRecorder&) = delete;
    MicRecorder& operator=(const MicRecorder&) = delete;

    // Creates the file and starts capturing into it. `origin` is the instant the file's first frame
    // stands for (default: now); time before the capture delivers becomes silence. Fails with
    // microphoneUnavailable when there is no usable input, with the platform's error when the file
    // cannot be created or the capture refuses to start (the file is then closed and left on disk).
    Result<void> start(const std::filesystem::path& path, std::optional<SteadyTime> origin = {});

    // The loudness of the capture file as it is written; nothing before start().
    std::shared_ptr<const TrackLevels> levels() const { return m_file ? m_file->levels() : nullptr; }
    std::shared_ptr<const TimeCorrections> corrections() const { return m_file ? m_file->corrections() : nullptr; }
    // Stops capturing and closes the file. No buffer arrives after it returns.
    void stop();

    double secondsSinceLastSound() const;
    std::int64_t restarts() const;
    bool broken() const;

private:
    Result<void> startEngine();
    void restartAfterConfigurationChange();
    void noteLevel(const void* samples, SampleType type, std::int64_t sampleCount);

    AudioBackend& m_backend;
    // Declared before the engine: the engine, whose callback feeds the file, must go first.
    std::unique_ptr<TrackWriter> m_file;
    std::unique_ptr<AudioCapture> m_engine;
    std::unique_ptr<QObject> m_observer;
    // Present while broken: with no capture left, it is what reports an input coming back.
    std::unique_ptr<AudioInputWatch> m_inputWatch;

    mutable std::mutex m_lock;
    SteadyTime m_lastSoundAt;
    std::int64_t m_restarts = 0;
    bool m_broken = false;
};

} // namespace zorvel
