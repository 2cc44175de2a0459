#pragma once

#include "audio/AudioFile.h"
#include "support/Error.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace zorvel {

// What a capture records.
enum class CaptureDevice {
    // The default input (the user's microphone). A monitor of an output is never taken for it.
    defaultInput,
    // The monitor of the default output: everything the computer plays.
    defaultOutputMonitor,
};

// How captured samples lie in memory: interleaved, native byte order. Devices whose own format is
// 8-bit arrive as int16, 24-bit ones as int32 (value in the upper bits), so writing them to a file
// of the device's own format is lossless.
enum class SampleType { float32, int16, int32 };

SampleType deliveredSampleType(SampleFormat deviceFormat);
int bytesPerSample(SampleType type);

struct CaptureCallbacks {
    // Called on the sound server's thread for every delivered buffer: `frames` interleaved frames
    // of format().sampleFormat's delivered type. Holes in the stream arrive as zeros. The samples are
    // valid only during the call: copy them and return at once.
    std::function<void(const void* samples, std::int64_t frames)> onBuffer;
    // defaultOutputMonitor only: the default output changed or the monitored one went away. Called on
    // the sound server's thread, at most once per capture; only signal from it. (A defaultInput
    // capture posts AudioConfigurationNotifier instead, on the same conditions for the input.)
    std::function<void()> onDefaultOutputChanged;
};

// A failed capture step is an Error that knows its CaptureStep (Error::captureStep()), the sound
// server's error code and its own words for the failure; its description says what was being done
// in the server's words ("Не удалось начать запись с «…»: …").

// One capture of a device. Opening connects to the device and learns its own format; start()
// creates the stream, installs the callbacks and starts delivery. Destroying it stops it (stream
// first, then the connection), and once the destructor has returned no callback runs any more.
// Created, started and destroyed on one thread that is not the sound server's.
class AudioCapture {
public:
    virtual ~AudioCapture() = default;
    // The device's own format.
    virtual const AudioFormat& format() const = 0;
    // Steps createStream and startStream. Call at most once.
    virtual Result<void> start(CaptureCallbacks callbacks) = 0;
};

// Watches the default input without capturing: while it exists, a change of the default input
// posts AudioConfigurationNotifier. A recorder that lost its input keeps one, since there is no
// capture left whose events would tell it that an input is back.
class AudioInputWatch {
public:
    virtual ~AudioInputWatch() = default;
};

// Opens captures (steps connect, readFormat, unsupportedFormat). The platform's own is
// AudioBackend::system(); tests provide their own.
class AudioBackend {
public:
    virtual ~AudioBackend() = default;
    virtual Result<std::unique_ptr<AudioCapture>> open(CaptureDevice device) = 0;
    // Empty when the sound system cannot be reached.
    virtual std::unique_ptr<AudioInputWatch> watchDefaultInput() = 0;

    static AudioBackend& system();
};

} // namespace zorvel
