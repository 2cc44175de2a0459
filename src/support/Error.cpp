#include "support/Error.h"

#include <array>
#include <cstring>

namespace zorvel {

namespace {

const char* sourceName(ErrorSource source) {
    switch (source) {
    case ErrorSource::none:
        return "";
    case ErrorSource::posix:
        return "errno";
    case ErrorSource::pulseAudio:
        return "libpulse";
    case ErrorSource::sndfile:
        return "libsndfile";
    case ErrorSource::soxr:
        return "libsoxr";
    case ErrorSource::qtNetwork:
        return "Qt Network";
    case ErrorSource::http:
        return "HTTP";
    case ErrorSource::json:
        return "JSON";
    case ErrorSource::signal:
        return "сигнал";
    }
    return "";
}

const char* stepName(CaptureStep step) {
    switch (step) {
    case CaptureStep::connect:
        return "подключение к звуковому серверу";
    case CaptureStep::readFormat:
        return "чтение формата устройства";
    case CaptureStep::unsupportedFormat:
        return "неподдерживаемый формат устройства";
    case CaptureStep::createStream:
        return "создание потока записи";
    case CaptureStep::startStream:
        return "запуск потока записи";
    }
    return "";
}

// strerror's words in the user's language. The GNU strerror_r fills no shared buffer (errors are
// made on worker threads too); it returns either `buffer` or a text of its own.
std::string errnoWords(int code) {
    std::array<char, 256> buffer{};
    return ::strerror_r(code, buffer.data(), buffer.size());
}

} // namespace

Error Error::platform(std::string description, ErrorSource source, std::optional<std::int64_t> code,
                      std::string platformMessage) {
    return Error(std::move(description)).withPlatformCause(source, code, std::move(platformMessage));
}

Error Error::fromErrno(std::string_view action, const std::filesystem::path& path, int code) {
    const std::string words = errnoWords(code);
    return platform(std::string(action) + " «" + path.string() + "»: " + words, ErrorSource::posix, code, words);
}

Error Error::fromErrno(std::string_view action, int code) {
    const std::string words = errnoWords(code);
    return platform(std::string(action) + ": " + words, ErrorSource::posix, code, words);
}

Error Error::withPlatformCause(ErrorSource source, std::optional<std::int64_t> code, std::string platformMessage) && {
    m_source = source;
    m_code = code;
    m_platformMessage = std::move(platformMessage);
    return std::move(*this);
}

Error Error::causedBy(const Error& cause) && {
    m_source = cause.m_source;
    m_code = cause.m_code;
    m_platformMessage = cause.m_platformMessage;
    if (cause.m_captureStep)
        m_captureStep = cause.m_captureStep;
    m_causeDescription = cause.m_zorvel ? cause.m_causeDescription : cause.m_description;
    return std::move(*this);
}

std::string Error::description() const {
    if (!m_zorvel)
        return m_description;
#if !defined(__APPLE__)
    // The fixed texts send the user to macOS settings and name Core Audio.
    const bool microphone = is(ZorvelError::Kind::microphoneUnavailable);
    if (microphone || is(ZorvelError::Kind::coreAudio)) {
        std::string text = microphone ? "Микрофон недоступен." : "Не удалось записать звук компьютера.";
        const std::string& serverSaid = m_causeDescription.empty() ? m_platformMessage : m_causeDescription;
        if (m_captureStep || !serverSaid.empty()) {
            text += " Звуковой сервер (PulseAudio или PipeWire)";
            if (m_captureStep)
                text += std::string(", шаг «") + stepName(*m_captureStep) + "»";
            if (!serverSaid.empty())
                text += ": " + serverSaid;
            if (!text.ends_with('.'))
                text += ".";
        }
        return text + " Проверьте, что звуковой сервер работает (pactl info) и что в настройках звука выбрано и " +
               "включено устройство " + (microphone ? "ввода." : "вывода.");
    }
#endif
    return m_zorvel->errorDescription();
}

Error Error::inCaptureStep(CaptureStep step) && {
    m_captureStep = step;
    return std::move(*this);
}

std::string Error::logText() const {
    const std::string text = description();
    std::string detail = sourceName(m_source);
    if (m_code)
        detail += (detail.empty() ? "код " : ", код ") + std::to_string(*m_code);
    if (!m_platformMessage.empty() && text.find(m_platformMessage) == std::string::npos)
        detail += (detail.empty() ? "" : ": ") + m_platformMessage;
    if (m_captureStep)
        detail += std::string(detail.empty() ? "" : "; ") + "шаг: " + stepName(*m_captureStep);
    return detail.empty() ? text : text + " [" + detail + "]";
}

} // namespace zorvel
