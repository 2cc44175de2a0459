#pragma once

#include "support/Error.h"
#include "support/FileDescriptor.h"

#include <cstddef>
#include <filesystem>
#include <string_view>

namespace zorvel {

// The run's "whisper.log": one open file whose descriptor also serves as the standard output and
// standard error of every tool the run starts, so that all lines keep their order.
// Closed on destruction; a failure to close is ignored.
class LogFile {
public:
    // Creates the file anew (replacing an earlier one, never writing through a link) and opens it
    // for writing at its start.
    static Result<LogFile> create(const std::filesystem::path& path);

    // Writes "[zorvel] " + message + "\n". Write errors are ignored.
    void line(std::string_view message) const;
    // Sets aside room on the disk for `bytes` more, without making the file longer, so that the
    // lines that explain a full disk still fit. Best effort.
    void reserve(std::size_t bytes);
    void close();
    // -1 once closed.
    [[nodiscard]] int descriptor() const { return m_file.get(); }

private:
    explicit LogFile(FileDescriptor file) : m_file(std::move(file)) {}
    FileDescriptor m_file;
};

} // namespace zorvel
