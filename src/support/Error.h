#pragma once

#include "support/ZorvelError.h"

#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace zorvel {

// Every failure in the program: either one of our own kinds or a platform failure that keeps
// the platform's own words (strerror, sf_strerror, pa_strerror, Qt's errorString) together with
// what was being done and to which path.
class Error {
public:
    Error(ZorvelError error) : m_zorvel(std::move(error)) {} // NOLINT(google-explicit-constructor)

    static Error platform(std::string description) { return Error(std::move(description)); }
    // "<action> «<path>»: <strerror(code)>"
    static Error fromErrno(std::string_view action, const std::filesystem::path& path, int code);
    static Error fromErrno(std::string_view action, int code);

    // The user-facing text: the fixed message of our own kinds, else the platform's description.
    std::string description() const { return m_zorvel ? m_zorvel->errorDescription() : m_description; }
    const ZorvelError* zorvelError() const { return m_zorvel ? &*m_zorvel : nullptr; }
    bool is(ZorvelError::Kind kind) const { return m_zorvel && m_zorvel->kind() == kind; }

private:
    explicit Error(std::string description) : m_description(std::move(description)) {}

    std::optional<ZorvelError> m_zorvel;
    std::string m_description;
};

template <typename T = void> using Result = std::expected<T, Error>;

inline std::unexpected<Error> failure(Error error) { return std::unexpected<Error>(std::move(error)); }

} // namespace zorvel

// Unwraps a Result or returns its error from the enclosing function.
#define TRY(expression)                                                                                       \
    ({                                                                                                        \
        auto&& zorvelTryResult = (expression);                                                                \
        if (!zorvelTryResult)                                                                                 \
            return std::unexpected<::zorvel::Error>(std::move(zorvelTryResult).error());                      \
        std::move(zorvelTryResult).value();                                                                   \
    })
