#pragma once

#include "platform/AudioCapture.h"

#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace zorvel::test {

// A capture device under the test's control: its format, whether opening or starting fails, and
// buffers delivered on a thread of their own, as the sound server's thread would.
class FakeAudioBackend final : public AudioBackend {
public:
    struct Device {
        AudioFormat format;
        std::optional<Error> openFailure;
        std::optional<Error> startFailure;
    };

    Device input{{48000, 1, SampleFormat::float32}, {}, {}};
    Device output{{44100, 2, SampleFormat::int16}, {}, {}};

    Result<std::unique_ptr<AudioCapture>> open(CaptureDevice device) override;
    std::unique_ptr<AudioInputWatch> watchDefaultInput() override;

    // Hands `frames` frames (null samples: missing ones) to the running capture of `device`, at its
    // next stream position, from another thread; returns when the callback has returned. False when
    // no capture of that device runs.
    bool deliver(CaptureDevice device, const void* samples, std::int64_t frames);
    // The running output capture reports that the default output changed.
    bool changeDefaultOutput();

    // The default input changed: a live input watch posts the notification, as the real one does.
    bool changeDefaultInput() const;
    int liveWatches() const;

    int liveCaptures() const;
    int opens() const;

private:
    class Capture;
    friend class Capture;
    class Watch;
    friend class Watch;

    Capture* running(CaptureDevice device) const;

    mutable std::mutex m_mutex;
    // Held while a delivery runs and by a capture that goes: like a sound server's stream, a
    // capture is never destroyed in the middle of a callback. Taken before m_mutex.
    std::mutex m_deliveryMutex;
    std::vector<Capture*> m_live;
    int m_opens = 0;
    int m_watches = 0;
};

} // namespace zorvel::test
