#include "support/Error.h"

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

} // namespace

Error Error::platform(std::string description, ErrorSource source, std::optional<std::int64_t> code,
                      std::string platformMessage) {
    return Error(std::move(description)).withPlatformCause(source, code, std::move(platformMessage));
}

Error Error::fromErrno(std::string_view action, const std::filesystem::path& path, int code) {
    const std::string words = std::strerror(code);
    return platform(std::string(action) + " «" + path.string() + "»: " + words, ErrorSource::posix, code, words);
}

Error Error::fromErrno(std::string_view action, int code) {
    const std::string words = std::strerror(code);
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
    return std::move(*this);
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
