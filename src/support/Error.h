#pragma once

#include "support/ZorvelError.h"

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace zorvel {

// Whose words and numbering a platform failure carries.
enum class ErrorSource {
    none,       // our own words only
    posix,      // errno and strerror
    pulseAudio, // libpulse's error code and pa_strerror
    sndfile,    // sf_error and sf_strerror
    soxr,       // libsoxr's error text (it has no codes)
    qtNetwork,  // QNetworkReply::NetworkError and errorString
    http,       // the status code and reason phrase of a response
    json,       // the JSON parser's error id and text
    signal,     // the number of the signal that killed a child, and strsignal
};

// The step at which opening or starting an audio capture failed, in the order in which they are
// taken. It travels with the error up to the message of a failed recording.
enum class CaptureStep {
    connect,           // reaching the sound server and finding the device
    readFormat,        // asking the device for its own sample format
    unsupportedFormat, // a device format we cannot represent
    createStream,
    startStream,
};

// Every failure in the program: a value that says what failed.
//  - description(): the user-facing text. For our own kinds (ZorvelError) it is their fixed
//    message; for platform failures it names what was being done and to which path, and usually
//    ends in the platform's own words.
//  - platformMessage(), source() and code(): what the platform itself said (strerror, pa_strerror,
//    sf_strerror, Qt's errorString, an HTTP reason phrase) and its code, where it gave one. Our own
//    kinds may carry them too, although their fixed message does not show them.
//  - captureStep(): for audio captures, the step that failed.
// logText() puts all of it into one line.
class Error {
public:
    Error(ZorvelError error) : m_zorvel(std::move(error)) {} // NOLINT(google-explicit-constructor)

    // A failure described in our own words only.
    static Error platform(std::string description) { return Error(std::move(description)); }
    // A failure that the platform reported: `description` is the whole user-facing text.
    static Error platform(std::string description, ErrorSource source, std::optional<std::int64_t> code,
                          std::string platformMessage);
    // "<action> «<path>»: <strerror(code)>"
    static Error fromErrno(std::string_view action, const std::filesystem::path& path, int code);
    // "<action>: <strerror(code)>"
    static Error fromErrno(std::string_view action, int code);

    // The same error with what the platform said about it.
    [[nodiscard]] Error withPlatformCause(ErrorSource source, std::optional<std::int64_t> code,
                                          std::string platformMessage) &&;
    // The same error with the platform's words, code, capture step and description of `cause` (a
    // lower-level error this one replaces).
    [[nodiscard]] Error causedBy(const Error& cause) &&;
    [[nodiscard]] Error inCaptureStep(CaptureStep step) &&;

    // The user-facing text: the fixed message of our own kinds, else the platform's description.
    // On Linux a failed capture (coreAudio, microphoneUnavailable) says instead which step of the
    // sound server failed, in the server's words, and what to check.
    [[nodiscard]] std::string description() const;
    [[nodiscard]] const ZorvelError* zorvelError() const { return m_zorvel ? &*m_zorvel : nullptr; }
    [[nodiscard]] bool is(ZorvelError::Kind kind) const { return m_zorvel && m_zorvel->kind() == kind; }

    [[nodiscard]] ErrorSource source() const { return m_source; }
    [[nodiscard]] std::optional<std::int64_t> code() const { return m_code; }
    [[nodiscard]] const std::string& platformMessage() const { return m_platformMessage; }
    [[nodiscard]] std::optional<CaptureStep> captureStep() const { return m_captureStep; }

    // One line for a log: the description, then whatever of the platform's words, the code and
    // the capture step it does not show already.
    [[nodiscard]] std::string logText() const;

private:
    explicit Error(std::string description) : m_description(std::move(description)) {}

    std::optional<ZorvelError> m_zorvel;
    std::string m_description;
    ErrorSource m_source = ErrorSource::none;
    std::optional<std::int64_t> m_code;
    std::string m_platformMessage;
    std::optional<CaptureStep> m_captureStep;
    // The description of the platform failure this error replaced, if any.
    std::string m_causeDescription;
};

template <typename T = void> using Result = std::expected<T, Error>;

inline std::unexpected<Error> failure(Error error) { return std::unexpected<Error>(std::move(error)); }

} // namespace zorvel

// Unwraps a Result or returns its error from the enclosing function. A macro because only a macro
// can return from the function it is used in; the value comes out of a GNU statement expression.
// NOLINTNEXTLINE(cppcoreguidelines-macro-usage)
#define TRY(expression)                                                                                       \
    ({                                                                                                        \
        auto&& zorvelTryResult = (expression);                                                                \
        if (!zorvelTryResult)                                                                                 \
            return std::unexpected<::zorvel::Error>(std::move(zorvelTryResult).error());                      \
        std::move(zorvelTryResult).value();                                                                   \
    })
