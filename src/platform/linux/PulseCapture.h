#pragma once

#include "platform/AudioCapture.h"

namespace zorvel {

// The libpulse implementation of AudioBackend: one threaded main loop, context and record stream
// per capture, on the device's own sample spec. Every pa_* call runs under the loop lock;
// callbacks never block: they copy, signal, or start an asynchronous query.
class PulseBackend final : public AudioBackend {
public:
    Result<std::unique_ptr<AudioCapture>> open(CaptureDevice device) override;
    std::unique_ptr<AudioInputWatch> watchDefaultInput() override;
};

} // namespace zorvel
