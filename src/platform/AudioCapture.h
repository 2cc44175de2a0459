#pragma once

#include "audio/AudioFile.h"
#include "audio/SampleConversion.h"
#include "support/Error.h"

#include <chrono>
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

using SteadyTime = std::chrono::steady_clock::time_point;

// Frames as the sound server delivered them.
struct CapturedFrames {
    // The stream position of the first frame: how many frames this capture delivered before it,
    // missing ones included. Positions advance with the device's clock, so they say where the frames
    // lie in time relative to each other; they do not count time while the device is suspended.
    std::int64_t position = 0;
    std::int64_t frames = 0;
    // Interleaved samples of format().sampleFormat's delivered type; null for frames the server
    // marked as missing (a hole), which stand for silence.
    const void* samples = nullptr;
};

// The sound server's word on when the frame at a stream position was captured (for a monitor:
// when it was played).
struct CaptureTiming {
    std::int64_t position = 0;
    SteadyTime capturedAt;
};

// Called on the sound server's thread, in the order in which the server delivered, and never once
// the capture is destroyed. They only copy or signal and return at once.
struct CaptureCallbacks {
    // Every delivery. The samples are valid only during the call.
    std::function<void(const CapturedFrames&)> onFrames;
    // A timing report, a few times a second at first, then every second or two.
    std::function<void(const CaptureTiming&)> onTiming;
    // The device delivered nothing past stream position `position` for a while (it was suspended,
    // or stood still): the frames from there on may come after a pause that their positions do not
    // show, and their timing reports will tell how long it was.
    std::function<void(std::int64_t position)> onPaused;
    // defaultOutputMonitor only: the default output changed or the monitored one went away. At most
    // once per capture; only signal from it. (A defaultInput capture posts
    // AudioConfigurationNotifier instead, on the same conditions for the input.)
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
