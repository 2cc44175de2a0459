#pragma once

#include "support/Error.h"

#include <filesystem>
#include <string_view>
#include <utility>

namespace zorvel {

// The run's "whisper.log": one open file whose descriptor also serves as the standard output and
// standard error of every tool the run starts, so that all lines keep their order.
// Closed on destruction; a failure to close is ignored.
class LogFile {
public:
    // Creates the file anew (replacing an earlier one) and opens it for writing at its start.
    static Result<LogFile> create(const std::filesystem::path& path);

    LogFile(LogFile&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    LogFile& operator=(LogFile&& other) noexcept;
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;
    ~LogFile() { close(); }

    // Writes "[zorvel] " + message + "\n". Write errors are ignored.
    void line(std::string_view message);
    void close();
    int descriptor() const { return m_fd; }

private:
    explicit LogFile(int fd) : m_fd(fd) {}
    int m_fd = -1;
};

} // namespace zorvel
