#pragma once

#include "support/Error.h"

#include <filesystem>
#include <string_view>
#include <sys/types.h>

namespace zorvel {

// Owns one open file descriptor and closes it when it goes (a failure to close is then ignored).
// Move-only; open() hands one out only when the file could be opened. After close() or a move
// away it holds no descriptor, and get() is -1.
class FileDescriptor {
public:
    // open(2) with O_CLOEXEC added to `flags`. Fails with "<failureAction> «<path>»: <strerror>".
    static Result<FileDescriptor> open(const std::filesystem::path& path, int flags, std::string_view failureAction,
                                       mode_t mode = 0);

    FileDescriptor(FileDescriptor&& other) noexcept;
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor();

    [[nodiscard]] int get() const { return m_fd; }
    [[nodiscard]] const std::filesystem::path& path() const { return m_path; }

    // Each failure reads "<failureAction> «<path>»: <strerror>".
    // Writes all of `bytes` through writeToDescriptor.
    Result<void> write(std::string_view bytes, std::string_view failureAction) const;
    // fsync(2): the data is on the disk.
    Result<void> sync(std::string_view failureAction) const;
    // close(2) now, reporting its failure. An interrupted close has still closed the descriptor
    // on Linux and counts as done.
    Result<void> close(std::string_view failureAction);

private:
    FileDescriptor(int fd, std::filesystem::path path) : m_fd(fd), m_path(std::move(path)) {}
    Error failed(std::string_view action, int code) const;

    int m_fd = -1;
    std::filesystem::path m_path;
};

// Writes all of `text` to a descriptor, retrying short and interrupted writes: the one place that
// writes to a descriptor. Fails with strerror's words and errno. Callers that print to standard
// output or error may ignore the failure.
Result<void> writeToDescriptor(int fd, std::string_view text);

// Makes the entries of `folder` durable (after a file was created in it or renamed into it).
Result<void> syncFolder(const std::filesystem::path& folder);

} // namespace zorvel
