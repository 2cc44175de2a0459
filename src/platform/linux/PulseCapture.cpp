#include "platform/linux/PulseCapture.h"

#include "platform/AudioConfigurationNotifier.h"

#include <chrono>
#include <optional>
#include <pulse/pulseaudio.h>

namespace zorvel {

namespace {

// A wait on the sound server ends when the server has not answered for this long. The callers run
// on the tray's main thread, so a server that has stopped answering costs the menu this long, not
// forever, while a slow one that keeps answering is waited for. A healthy server answers within
// milliseconds; PipeWire on a machine with every core busy took up to 250 ms to start a stream.
constexpr pa_usec_t answerLimit = 400 * PA_USEC_PER_MSEC;

// A device whose write index stands still for this long while time goes on has paused (an output
// nobody plays to, an input whose source stopped): what it delivers next is placed anew.
constexpr pa_usec_t stillLimit = 200 * PA_USEC_PER_MSEC;

// A device that works in blocks (a null sink's monitor renders 10 ms at a time) reports the
// latency of its block, which is right only for a moment just after it delivered: the report is
// as late as the time since. The server's own reports come at intervals that are whole multiples
// of such blocks, so they can keep falling at one point of a block for a whole run. When a run
// begins, so while its place is being decided, a few more reports are asked for, 23 ms apart,
// which falls at every millisecond of a 10 ms block in turn; the run is placed by the earliest.
constexpr pa_usec_t spreadInterval = 23 * PA_USEC_PER_MSEC;
constexpr int spreadReports = 10;

// Record buffers of about 20 ms: the microphone's level is seen soon after the sound. Where audio
// lands in the file comes from the server's timing reports, not from when a buffer arrives.
constexpr pa_usec_t fragmentMicroseconds = 20'000;

std::optional<SampleFormat> storedFormat(pa_sample_format_t format) {
    switch (format) {
    case PA_SAMPLE_U8:
        return SampleFormat::uint8;
    case PA_SAMPLE_S16LE:
    case PA_SAMPLE_S16BE:
        return SampleFormat::int16;
    case PA_SAMPLE_FLOAT32LE:
    case PA_SAMPLE_FLOAT32BE:
        return SampleFormat::float32;
    case PA_SAMPLE_S32LE:
    case PA_SAMPLE_S32BE:
        return SampleFormat::int32;
    case PA_SAMPLE_S24LE:
    case PA_SAMPLE_S24BE:
    case PA_SAMPLE_S24_32LE:
    case PA_SAMPLE_S24_32BE:
        return SampleFormat::int24;
    default:
        return std::nullopt;
    }
}

pa_sample_format_t streamFormat(SampleType type) {
    switch (type) {
    case SampleType::float32:
        return PA_SAMPLE_FLOAT32NE;
    case SampleType::int16:
        return PA_SAMPLE_S16NE;
    case SampleType::int32:
        return PA_SAMPLE_S32NE;
    }
    return PA_SAMPLE_FLOAT32NE;
}

struct ServerInfo {
    std::string defaultSource;
    std::string defaultSink;
};

struct SourceInfo {
    std::string name;
    std::uint32_t index = PA_INVALID_INDEX;
    std::uint32_t monitorOfSink = PA_INVALID_INDEX;
    pa_sample_spec spec{};
    pa_channel_map map{};
};

struct SinkInfo {
    std::string monitorSource;
};

// The answer of one asynchronous query, filled in on the loop's thread.
template <typename T> struct Answer {
    pa_threaded_mainloop* loop = nullptr;
    std::optional<T> value;
};

void serverInfoArrived(pa_context*, const pa_server_info* info, void* userdata) {
    auto* answer = static_cast<Answer<ServerInfo>*>(userdata);
    if (info != nullptr)
        answer->value = ServerInfo{info->default_source_name ? info->default_source_name : "",
                                   info->default_sink_name ? info->default_sink_name : ""};
    pa_threaded_mainloop_signal(answer->loop, 0);
}

void sourceInfoArrived(pa_context*, const pa_source_info* info, int, void* userdata) {
    auto* answer = static_cast<Answer<SourceInfo>*>(userdata);
    if (info != nullptr)
        answer->value = SourceInfo{info->name, info->index, info->monitor_of_sink, info->sample_spec,
                                   info->channel_map};
    pa_threaded_mainloop_signal(answer->loop, 0);
}

void sinkInfoArrived(pa_context*, const pa_sink_info* info, int, void* userdata) {
    auto* answer = static_cast<Answer<SinkInfo>*>(userdata);
    if (info != nullptr && info->monitor_source_name != nullptr)
        answer->value = SinkInfo{info->monitor_source_name};
    pa_threaded_mainloop_signal(answer->loop, 0);
}

void subscribed(pa_context*, int success, void* userdata) {
    auto* answer = static_cast<Answer<bool>*>(userdata);
    answer->value = success != 0;
    pa_threaded_mainloop_signal(answer->loop, 0);
}

class PulseCapture final : public AudioCapture {
public:
    explicit PulseCapture(CaptureDevice device) : m_device(device) {}
    ~PulseCapture() override;
    PulseCapture(const PulseCapture&) = delete;
    PulseCapture& operator=(const PulseCapture&) = delete;

    // Connects and finds the device and its format; on failure the destructor releases what exists.
    Result<void> open();
    // Connects and only watches the default input (see AudioInputWatch). Waits for nothing: the
    // watch starts once the server answers, however late.
    Result<void> watch();
    Result<void> start(CaptureCallbacks callbacks) override;

    const AudioFormat& format() const override { return m_format; }

private:
    // All of these run with the loop locked.
    Result<void> connect();
    Result<void> resolveSource(SourceInfo& source);
    Result<void> startStream(const SourceInfo& source);
    Result<void> createLoop();
    // Waits on the loop until `done` holds, or until the server has not answered for answerLimit.
    template <typename Done> bool waitUntil(Done done);
    template <typename T> std::optional<T> wait(pa_operation* operation, Answer<T>& answer);
    // A failed libpulse call, in the server's words.
    Error serverFailure(CaptureStep step, const std::string& doing) const;
    // There is no usable device at all (no default, or only a monitor for an input).
    Error noDevice(CaptureStep step, std::string description);

    // Loop thread.
    static void contextStateChanged(pa_context* context, void* userdata);
    static void streamStateChanged(pa_stream* stream, void* userdata);
    static void streamReadable(pa_stream* stream, size_t bytes, void* userdata);
    static void timingUpdated(pa_stream* stream, void* userdata);
    static void suspendedChanged(pa_stream* stream, void* userdata);
    void notePause(std::int64_t position);
    // Asks for spreadReports timing reports, spreadInterval apart.
    void spreadReportsFromNow();
    static void spreadReport(pa_mainloop_api* api, pa_time_event* event, const struct timeval*, void* userdata);
    static void serverEvent(pa_context* context, pa_subscription_event_type_t type, std::uint32_t index,
                            void* userdata);
    static void serverChanged(pa_context* context, const pa_server_info* info, void* userdata);
    static void watchStarted(pa_context* context, const pa_server_info* info, void* userdata);
    void reportDeviceChange();

    const CaptureDevice m_device;
    CaptureCallbacks m_callbacks; // set under the loop lock before the stream exists
    pa_threaded_mainloop* m_loop = nullptr;
    pa_context* m_context = nullptr;
    pa_stream* m_stream = nullptr;
    AudioFormat m_format;
    std::string m_sourceName;
    std::uint32_t m_sourceIndex = PA_INVALID_INDEX;
    std::string m_sinkName;
    SourceInfo m_source;
    std::size_t m_frameBytes = 0;
    // Set by a failed open() that found no usable device, rather than a server that failed.
    bool m_noDevice = false;
    // Counts the server's answers that change the connection's or the stream's state; whether a
    // wait ran into its limit.
    std::uint64_t m_answers = 0;
    bool m_timedOut = false;
    // Loop thread only, once running.
    bool m_watching = false;
    bool m_running = false;
    bool m_changeReported = false;
    // Frames delivered so far, missing ones included: the stream position of the next delivery.
    std::int64_t m_position = 0;
    // The server's write index when it last moved, and when that was (its clock); whether the
    // device is taken to have paused there, and whether a timing report is wanted once it delivers.
    std::int64_t m_written = -1;
    std::chrono::system_clock::time_point m_writtenAt;
    bool m_standingStill = false;
    bool m_reportWanted = false;
    pa_time_event* m_spreadTimer = nullptr;
    int m_spreadLeft = 0;
};

PulseCapture::~PulseCapture() {
    // Stopping the loop first guarantees that no callback runs while the rest is torn down.
    if (m_loop != nullptr)
        pa_threaded_mainloop_stop(m_loop);
    if (m_spreadTimer != nullptr)
        pa_threaded_mainloop_get_api(m_loop)->time_free(m_spreadTimer);
    if (m_stream != nullptr) {
        pa_stream_set_read_callback(m_stream, nullptr, nullptr);
        pa_stream_set_state_callback(m_stream, nullptr, nullptr);
        pa_stream_disconnect(m_stream);
        pa_stream_unref(m_stream);
    }
    if (m_context != nullptr) {
        pa_context_set_subscribe_callback(m_context, nullptr, nullptr);
        pa_context_set_state_callback(m_context, nullptr, nullptr);
        pa_context_disconnect(m_context);
        pa_context_unref(m_context);
    }
    if (m_loop != nullptr)
        pa_threaded_mainloop_free(m_loop);
}

// A failure of our own finding, with a code from libpulse's list but none of the server's words.
Error ownFailure(CaptureStep step, int code, std::string description) {
    return Error::platform(std::move(description), ErrorSource::pulseAudio, code, {}).inCaptureStep(step);
}

Error PulseCapture::serverFailure(CaptureStep step, const std::string& doing) const {
    if (m_timedOut) {
        const std::string words = pa_strerror(PA_ERR_TIMEOUT);
        return Error::platform(doing + ": звуковой сервер не ответил за " +
                                   std::to_string(answerLimit / PA_USEC_PER_MSEC) + " мс (" + words + ")",
                               ErrorSource::pulseAudio, PA_ERR_TIMEOUT, words)
            .inCaptureStep(step);
    }
    const int code = m_context != nullptr ? pa_context_errno(m_context) : PA_ERR_INTERNAL;
    const std::string words = pa_strerror(code);
    return Error::platform(doing + ": " + words, ErrorSource::pulseAudio, code, words).inCaptureStep(step);
}

Error PulseCapture::noDevice(CaptureStep step, std::string description) {
    m_noDevice = true;
    return ownFailure(step, PA_ERR_NOENTITY, std::move(description));
}

template <typename Done> bool PulseCapture::waitUntil(Done done) {
    m_timedOut = false;
    if (done())
        return true;
    // The loop's thread signals whenever something arrives; this timer makes sure it also does at
    // the deadline, which every answer moves on.
    pa_usec_t deadline = pa_rtclock_now() + answerLimit;
    pa_time_event* wake = pa_context_rttime_new(
        m_context, deadline,
        [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* loop) {
            pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
        },
        m_loop);
    std::uint64_t answers = m_answers;
    bool finished = false;
    while (!(finished = done())) {
        if (m_answers != answers) {
            answers = m_answers;
            deadline = pa_rtclock_now() + answerLimit;
            if (wake != nullptr)
                pa_context_rttime_restart(m_context, wake, deadline);
        }
        if (pa_rtclock_now() >= deadline)
            break;
        pa_threaded_mainloop_wait(m_loop);
    }
    if (wake != nullptr)
        pa_threaded_mainloop_get_api(m_loop)->time_free(wake);
    m_timedOut = !finished;
    return finished;
}

template <typename T> std::optional<T> PulseCapture::wait(pa_operation* operation, Answer<T>& answer) {
    if (operation == nullptr)
        return std::nullopt;
    // The context's state callback also signals, so a failing connection ends the wait too (its
    // operations are cancelled).
    const bool answered = waitUntil([&] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; });
    if (!answered)
        pa_operation_cancel(operation); // no answer may arrive later into `answer`
    pa_operation_unref(operation);
    return answered ? answer.value : std::nullopt;
}

Result<void> PulseCapture::createLoop() {
    m_loop = pa_threaded_mainloop_new();
    if (m_loop == nullptr)
        return failure(ownFailure(CaptureStep::connect, PA_ERR_INTERNAL, "Не удалось создать цикл событий звука"));
    if (pa_threaded_mainloop_start(m_loop) < 0) {
        pa_threaded_mainloop_free(m_loop);
        m_loop = nullptr;
        return failure(ownFailure(CaptureStep::connect, PA_ERR_INTERNAL, "Не удалось запустить цикл событий звука"));
    }
    return {};
}

Result<void> PulseCapture::open() {
    TRY(createLoop());
    pa_threaded_mainloop_lock(m_loop);
    Result<void> opened = connect();
    if (opened)
        opened = resolveSource(m_source);
    pa_threaded_mainloop_unlock(m_loop);
    return opened;
}

Result<void> PulseCapture::watch() {
    TRY(createLoop());
    pa_threaded_mainloop_lock(m_loop);
    m_watching = true;
    Result<void> connecting;
    m_context = pa_context_new(pa_threaded_mainloop_get_api(m_loop), "Zorvel");
    if (m_context != nullptr)
        pa_context_set_state_callback(m_context, contextStateChanged, this);
    if (m_context == nullptr || pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        connecting = failure(serverFailure(CaptureStep::connect, "Не удалось подключиться к звуковому серверу"));
    pa_threaded_mainloop_unlock(m_loop);
    return connecting;
}

Result<void> PulseCapture::start(CaptureCallbacks callbacks) {
    if (m_loop == nullptr || m_stream != nullptr)
        return failure(ownFailure(CaptureStep::createStream, PA_ERR_BADSTATE, "Запись уже начата"));
    pa_threaded_mainloop_lock(m_loop);
    m_callbacks = std::move(callbacks);
    Result<void> started = startStream(m_source);
    pa_threaded_mainloop_unlock(m_loop);
    return started;
}

Result<void> PulseCapture::connect() {
    m_context = pa_context_new(pa_threaded_mainloop_get_api(m_loop), "Zorvel");
    if (m_context == nullptr)
        return failure(
            ownFailure(CaptureStep::connect, PA_ERR_INTERNAL, "Не удалось создать связь со звуковым сервером"));
    pa_context_set_state_callback(m_context, contextStateChanged, this);
    if (pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return failure(serverFailure(CaptureStep::connect, "Не удалось подключиться к звуковому серверу"));
    if (!waitUntil([&] { return !PA_CONTEXT_IS_GOOD(pa_context_get_state(m_context)) ||
                                pa_context_get_state(m_context) == PA_CONTEXT_READY; }) ||
        pa_context_get_state(m_context) != PA_CONTEXT_READY)
        return failure(serverFailure(CaptureStep::connect, "Не удалось подключиться к звуковому серверу"));
    // Watch before looking up the device, so that a change right after the look-up is not missed.
    pa_context_set_subscribe_callback(m_context, serverEvent, this);
    Answer<bool> answer{m_loop, {}};
    const auto mask = static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SOURCE);
    if (!wait(pa_context_subscribe(m_context, mask, subscribed, &answer), answer).value_or(false))
        return failure(serverFailure(CaptureStep::connect, "Не удалось подписаться на события звукового сервера"));
    return {};
}

Result<void> PulseCapture::resolveSource(SourceInfo& source) {
    Answer<ServerInfo> server{m_loop, {}};
    const std::optional<ServerInfo> serverInfo =
        wait(pa_context_get_server_info(m_context, serverInfoArrived, &server), server);
    if (!serverInfo)
        return failure(serverFailure(CaptureStep::connect, "Не удалось получить сведения о звуковом сервере"));
    std::string sourceName;
    if (m_device == CaptureDevice::defaultInput) {
        sourceName = serverInfo->defaultSource;
        if (sourceName.empty())
            return failure(noDevice(CaptureStep::connect, "Нет устройства ввода по умолчанию"));
    } else {
        // The "@DEFAULT_MONITOR@" alias is not used: on some servers it records the default input.
        m_sinkName = serverInfo->defaultSink;
        if (m_sinkName.empty())
            return failure(noDevice(CaptureStep::connect, "Нет устройства вывода по умолчанию"));
        Answer<SinkInfo> sink{m_loop, {}};
        const std::optional<SinkInfo> sinkInfo =
            wait(pa_context_get_sink_info_by_name(m_context, m_sinkName.c_str(), sinkInfoArrived, &sink), sink);
        if (!sinkInfo)
            return failure(serverFailure(CaptureStep::connect,
                                         "Не удалось найти монитор устройства вывода «" + m_sinkName + "»"));
        sourceName = sinkInfo->monitorSource;
    }
    Answer<SourceInfo> info{m_loop, {}};
    const std::optional<SourceInfo> sourceInfo =
        wait(pa_context_get_source_info_by_name(m_context, sourceName.c_str(), sourceInfoArrived, &info), info);
    if (!sourceInfo) {
        // A default input that cannot be read is as good as none.
        m_noDevice = m_device == CaptureDevice::defaultInput;
        return failure(
            serverFailure(CaptureStep::readFormat, "Не удалось прочитать формат источника «" + sourceName + "»"));
    }
    source = *sourceInfo;
    if (m_device == CaptureDevice::defaultInput && source.monitorOfSink != PA_INVALID_INDEX)
        return failure(noDevice(CaptureStep::connect, "Источник по умолчанию «" + source.name +
                                                          "» — монитор устройства вывода, а не микрофон"));
    const std::optional<SampleFormat> stored = storedFormat(source.spec.format);
    if (!stored || source.spec.rate == 0 || source.spec.channels == 0)
        return failure(Error::platform(std::string("Неподдерживаемый формат источника: ") +
                                       pa_sample_format_to_string(source.spec.format))
                           .inCaptureStep(CaptureStep::unsupportedFormat));
    m_format = AudioFormat{static_cast<int>(source.spec.rate), source.spec.channels, *stored};
    m_sourceName = source.name;
    m_sourceIndex = source.index;
    return {};
}

Result<void> PulseCapture::startStream(const SourceInfo& source) {
    pa_sample_spec spec = source.spec;
    spec.format = streamFormat(deliveredSampleType(m_format.sampleFormat));
    m_frameBytes = pa_frame_size(&spec);
    m_stream = pa_stream_new(m_context, "Zorvel", &spec, &source.map);
    if (m_stream == nullptr)
        return failure(serverFailure(CaptureStep::createStream, "Не удалось создать поток записи"));
    pa_stream_set_state_callback(m_stream, streamStateChanged, this);
    pa_stream_set_read_callback(m_stream, streamReadable, this);
    pa_stream_set_latency_update_callback(m_stream, timingUpdated, this);
    pa_stream_set_suspended_callback(m_stream, suspendedChanged, this);

    pa_buffer_attr attributes{};
    attributes.maxlength = static_cast<std::uint32_t>(-1);
    attributes.tlength = static_cast<std::uint32_t>(-1);
    attributes.prebuf = static_cast<std::uint32_t>(-1);
    attributes.minreq = static_cast<std::uint32_t>(-1);
    attributes.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(fragmentMicroseconds, &spec));
    // DONT_MOVE: the server must not quietly move us to another device (for a monitor, possibly to
    // the microphone); a lost device is reported and the owner decides what to record next.
    // AUTO_TIMING_UPDATE: the server reports its timing by itself, which places the audio in time.
    const auto flags =
        static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE | PA_STREAM_AUTO_TIMING_UPDATE);
    if (pa_stream_connect_record(m_stream, m_sourceName.c_str(), &attributes, flags) < 0)
        return failure(serverFailure(CaptureStep::startStream, "Не удалось начать запись с «" + m_sourceName + "»"));
    if (!waitUntil([&] { return !PA_STREAM_IS_GOOD(pa_stream_get_state(m_stream)) ||
                                pa_stream_get_state(m_stream) == PA_STREAM_READY; }) ||
        pa_stream_get_state(m_stream) != PA_STREAM_READY)
        return failure(serverFailure(CaptureStep::startStream, "Не удалось начать запись с «" + m_sourceName + "»"));
    m_running = true;
    spreadReportsFromNow();
    // The default may have changed between opening and now; the answer reports it if so.
    if (pa_operation* operation = pa_context_get_server_info(m_context, serverChanged, this))
        pa_operation_unref(operation);
    return {};
}

void PulseCapture::contextStateChanged(pa_context* context, void* userdata) {
    auto* self = static_cast<PulseCapture*>(userdata);
    ++self->m_answers;
    const pa_context_state_t state = pa_context_get_state(context);
    if (self->m_running && !PA_CONTEXT_IS_GOOD(state))
        self->reportDeviceChange();
    if (self->m_watching && state == PA_CONTEXT_READY) {
        // Nobody waits for these answers; the first says what the default input is now.
        pa_context_set_subscribe_callback(context, serverEvent, self);
        const auto mask = static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SERVER);
        if (pa_operation* operation = pa_context_subscribe(context, mask, nullptr, nullptr))
            pa_operation_unref(operation);
        if (pa_operation* operation = pa_context_get_server_info(context, watchStarted, self))
            pa_operation_unref(operation);
    }
    pa_threaded_mainloop_signal(self->m_loop, 0);
}

void PulseCapture::watchStarted(pa_context*, const pa_server_info* info, void* userdata) {
    auto* self = static_cast<PulseCapture*>(userdata);
    if (info == nullptr)
        return;
    // Whatever the default input is now (none, or a monitor), a change from it is reported.
    self->m_sourceName = info->default_source_name ? info->default_source_name : "";
    self->m_running = true;
}

void PulseCapture::streamStateChanged(pa_stream* stream, void* userdata) {
    auto* self = static_cast<PulseCapture*>(userdata);
    ++self->m_answers;
    if (self->m_running && !PA_STREAM_IS_GOOD(pa_stream_get_state(stream)))
        self->reportDeviceChange();
    pa_threaded_mainloop_signal(self->m_loop, 0);
}

void PulseCapture::streamReadable(pa_stream* stream, size_t, void* userdata) {
    auto* self = static_cast<PulseCapture*>(userdata);
    for (;;) {
        const void* data = nullptr;
        size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0)
            return;
        // A hole (no data, a length) is time the server has nothing for: it is delivered as missing.
        const CapturedFrames frames{self->m_position, static_cast<std::int64_t>(bytes / self->m_frameBytes), data};
        if (frames.frames > 0 && self->m_callbacks.onFrames)
            self->m_callbacks.onFrames(frames);
        self->m_position += frames.frames;
        pa_stream_drop(stream);
        // Frames after a pause: fresh reports tell when they were captured.
        if (self->m_reportWanted && frames.frames > 0) {
            self->m_reportWanted = false;
            if (pa_operation* operation = pa_stream_update_timing_info(stream, nullptr, nullptr))
                pa_operation_unref(operation);
            self->spreadReportsFromNow();
        }
    }
}

void PulseCapture::timingUpdated(pa_stream* stream, void* userdata) {
    auto* self = static_cast<PulseCapture*>(userdata);
    const pa_timing_info* timing = pa_stream_get_timing_info(stream);
    // While suspended, the device's latency says nothing about the frames to come.
    if (timing == nullptr || timing->write_index_corrupt || timing->write_index < 0 ||
        pa_stream_is_suspended(stream) > 0 || !self->m_callbacks.onTiming)
        return;
    // When the server looked (its timestamp, on the system's real-time clock), the frame at its
    // queue's write index was still in the device, for the device's latency; a monitor's frames are
    // played only after the output's own latency.
    const auto now = std::chrono::system_clock::now();
    const auto lookedAt =
        std::chrono::system_clock::time_point(std::chrono::seconds(timing->timestamp.tv_sec) +
                                              std::chrono::microseconds(timing->timestamp.tv_usec));
    const SteadyTime capturedAt = std::chrono::steady_clock::now() - (now - lookedAt) -
                                  std::chrono::microseconds(timing->source_usec) +
                                  std::chrono::microseconds(timing->sink_usec);
    const std::int64_t written = timing->write_index / static_cast<std::int64_t>(self->m_frameBytes);
    if (written != self->m_written) {
        self->m_written = written;
        self->m_writtenAt = lookedAt;
        self->m_standingStill = false;
        self->m_callbacks.onTiming({written, capturedAt});
        return;
    }
    // Nothing new since the last look: a report on frames not captured yet says nothing, and if it
    // stays so, the device has paused.
    if (!self->m_standingStill && lookedAt - self->m_writtenAt >= std::chrono::microseconds(stillLimit)) {
        self->m_standingStill = true;
        self->notePause(written);
    }
}

void PulseCapture::spreadReportsFromNow() {
    m_spreadLeft = spreadReports;
    const pa_usec_t first = pa_rtclock_now() + spreadInterval;
    if (m_spreadTimer != nullptr)
        pa_context_rttime_restart(m_context, m_spreadTimer, first);
    else
        m_spreadTimer = pa_context_rttime_new(m_context, first, spreadReport, this);
}

void PulseCapture::spreadReport(pa_mainloop_api* api, pa_time_event* event, const struct timeval*, void* userdata) {
    auto* self = static_cast<PulseCapture*>(userdata);
    if (self->m_stream != nullptr && pa_stream_get_state(self->m_stream) == PA_STREAM_READY)
        if (pa_operation* operation = pa_stream_update_timing_info(self->m_stream, nullptr, nullptr))
            pa_operation_unref(operation);
    if (--self->m_spreadLeft > 0)
        pa_context_rttime_restart(self->m_context, event, pa_rtclock_now() + spreadInterval);
    else
        api->time_restart(event, nullptr); // disabled until the next run
}

void PulseCapture::notePause(std::int64_t position) {
    m_reportWanted = true;
    if (m_callbacks.onPaused)
        m_callbacks.onPaused(position);
}

void PulseCapture::suspendedChanged(pa_stream* stream, void* userdata) {
    auto* self = static_cast<PulseCapture*>(userdata);
    // Told on resuming, when all that came before the suspension has been delivered; the server
    // tells it before it sends anything captured after.
    if (pa_stream_is_suspended(stream) == 0 && !self->m_standingStill) {
        self->m_standingStill = true;
        self->notePause(self->m_position);
    }
}

void PulseCapture::serverEvent(pa_context* context, pa_subscription_event_type_t type, std::uint32_t index,
                               void* userdata) {
    auto* self = static_cast<PulseCapture*>(userdata);
    const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    if (facility == PA_SUBSCRIPTION_EVENT_SOURCE && kind == PA_SUBSCRIPTION_EVENT_REMOVE && index == self->m_sourceIndex)
        self->reportDeviceChange();
    else if (facility == PA_SUBSCRIPTION_EVENT_SERVER && kind == PA_SUBSCRIPTION_EVENT_CHANGE) {
        // The event does not say what changed; ask, without waiting for the answer here.
        if (pa_operation* operation = pa_context_get_server_info(context, serverChanged, self))
            pa_operation_unref(operation);
    }
}

void PulseCapture::serverChanged(pa_context*, const pa_server_info* info, void* userdata) {
    auto* self = static_cast<PulseCapture*>(userdata);
    if (info == nullptr || !self->m_running)
        return;
    const bool changed = self->m_device == CaptureDevice::defaultInput
                             ? self->m_sourceName != (info->default_source_name ? info->default_source_name : "")
                             : self->m_sinkName != (info->default_sink_name ? info->default_sink_name : "");
    if (changed)
        self->reportDeviceChange();
}

void PulseCapture::reportDeviceChange() {
    if (m_changeReported || !m_running)
        return;
    m_changeReported = true;
    if (m_device == CaptureDevice::defaultInput)
        AudioConfigurationNotifier::instance().post();
    else if (m_callbacks.onDefaultOutputChanged)
        m_callbacks.onDefaultOutputChanged();
}

} // namespace

Result<std::unique_ptr<AudioCapture>> PulseBackend::open(CaptureDevice device) {
    auto capture = std::make_unique<PulseCapture>(device);
    TRY(capture->open());
    return capture;
}

namespace {
class PulseInputWatch final : public AudioInputWatch {
public:
    explicit PulseInputWatch(std::unique_ptr<AudioCapture> capture) : m_capture(std::move(capture)) {}

private:
    std::unique_ptr<AudioCapture> m_capture;
};
} // namespace

std::unique_ptr<AudioInputWatch> PulseBackend::watchDefaultInput() {
    auto capture = std::make_unique<PulseCapture>(CaptureDevice::defaultInput);
    if (!capture->watch())
        return nullptr;
    return std::make_unique<PulseInputWatch>(std::move(capture));
}

AudioBackend& AudioBackend::system() {
    static PulseBackend backend;
    return backend;
}

} // namespace zorvel
