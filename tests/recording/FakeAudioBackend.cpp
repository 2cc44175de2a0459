#include "FakeAudioBackend.h"

#include "platform/AudioConfigurationNotifier.h"

#include <algorithm>

namespace zorvel::test {

class FakeAudioBackend::Capture final : public AudioCapture {
public:
    Capture(FakeAudioBackend& backend, CaptureDevice device, Device settings)
        : m_backend(backend), m_device(device), m_settings(std::move(settings)) {
        const std::lock_guard lock(m_backend.m_mutex);
        m_backend.m_live.push_back(this);
    }
    ~Capture() override {
        const std::lock_guard delivering(m_backend.m_deliveryMutex);
        const std::lock_guard lock(m_backend.m_mutex);
        std::erase(m_backend.m_live, this);
    }
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;
    const AudioFormat& format() const override { return m_settings.format; }
    Result<void> start(CaptureCallbacks callbacks) override {
        if (m_settings.startFailure)
            return failure(*m_settings.startFailure);
        const std::lock_guard lock(m_backend.m_mutex);
        m_callbacks = std::move(callbacks);
        m_started = true;
        return {};
    }

    CaptureDevice device() const { return m_device; }
    // The stream position of the next delivery; only the delivering thread uses it.
    std::int64_t& position() { return m_position; }
    bool started() const { return m_started; }
    const CaptureCallbacks& callbacks() const { return m_callbacks; }

private:
    FakeAudioBackend& m_backend;
    CaptureDevice m_device;
    Device m_settings;
    CaptureCallbacks m_callbacks;
    bool m_started = false;
    std::int64_t m_position = 0;
};

class FakeAudioBackend::Watch final : public AudioInputWatch {
public:
    explicit Watch(FakeAudioBackend& backend) : m_backend(backend) {
        const std::lock_guard lock(m_backend.m_mutex);
        ++m_backend.m_watches;
    }
    ~Watch() override {
        const std::lock_guard lock(m_backend.m_mutex);
        --m_backend.m_watches;
    }
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;

private:
    FakeAudioBackend& m_backend;
};

std::unique_ptr<AudioInputWatch> FakeAudioBackend::watchDefaultInput() { return std::make_unique<Watch>(*this); }

bool FakeAudioBackend::changeDefaultInput() const {
    if (liveWatches() == 0)
        return false;
    std::thread([] { AudioConfigurationNotifier::instance().post(); }).join();
    return true;
}

int FakeAudioBackend::liveWatches() const {
    const std::lock_guard lock(m_mutex);
    return m_watches;
}

Result<std::unique_ptr<AudioCapture>> FakeAudioBackend::open(CaptureDevice device) {
    const Device& settings = device == CaptureDevice::defaultInput ? input : output;
    {
        const std::lock_guard lock(m_mutex);
        ++m_opens;
    }
    if (settings.openFailure)
        return failure(*settings.openFailure);
    return std::make_unique<Capture>(*this, device, settings);
}

FakeAudioBackend::Capture* FakeAudioBackend::running(CaptureDevice device) const {
    const std::lock_guard lock(m_mutex);
    const auto found =
        std::ranges::find_if(m_live, [&](Capture* capture) { return capture->device() == device && capture->started(); });
    return found == m_live.end() ? nullptr : *found;
}

bool FakeAudioBackend::deliver(CaptureDevice device, const void* samples, std::int64_t frames) {
    const std::lock_guard delivering(m_deliveryMutex);
    Capture* capture = running(device);
    if (capture == nullptr)
        return false;
    std::thread([&] {
        capture->callbacks().onFrames({capture->position(), frames, samples});
        capture->position() += frames;
    }).join();
    return true;
}

bool FakeAudioBackend::changeDefaultOutput() {
    Capture* capture = running(CaptureDevice::defaultOutputMonitor);
    if (capture == nullptr || !capture->callbacks().onDefaultOutputChanged)
        return false;
    std::thread([&] { capture->callbacks().onDefaultOutputChanged(); }).join();
    return true;
}

int FakeAudioBackend::liveCaptures() const {
    const std::lock_guard lock(m_mutex);
    return static_cast<int>(m_live.size());
}

int FakeAudioBackend::opens() const {
    const std::lock_guard lock(m_mutex);
    return m_opens;
}

} // namespace zorvel::test
