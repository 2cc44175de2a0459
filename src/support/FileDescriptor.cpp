#include "support/FileDescriptor.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace zorvel {

Result<FileDescriptor> FileDescriptor::open(const std::filesystem::path& path, int flags,
                                            std::string_view failureAction, mode_t mode) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    if (fd < 0)
        return failure(Error::fromErrno(failureAction, path, errno));
    return FileDescriptor(fd, path);
}

FileDescriptor::FileDescriptor(FileDescriptor&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)), m_path(std::move(other.m_path)) {}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = std::exchange(other.m_fd, -1);
        m_path = std::move(other.m_path);
    }
    return *this;
}

FileDescriptor::~FileDescriptor() {
    if (m_fd >= 0)
        ::close(m_fd);
}

Error FileDescriptor::failed(std::string_view action, int code) const {
    return Error::fromErrno(action, m_path, code);
}

Result<void> FileDescriptor::write(std::string_view bytes, std::string_view failureAction) const {
    if (auto written = writeToDescriptor(m_fd, bytes); !written)
        return failure(failed(failureAction, static_cast<int>(written.error().code().value_or(EIO))));
    return {};
}

Result<void> FileDescriptor::sync(std::string_view failureAction) const {
    if (::fsync(m_fd) != 0)
        return failure(failed(failureAction, errno));
    return {};
}

Result<void> FileDescriptor::close(std::string_view failureAction) {
    if (m_fd < 0)
        return {};
    if (::close(std::exchange(m_fd, -1)) != 0 && errno != EINTR)
        return failure(failed(failureAction, errno));
    return {};
}

Result<void> writeToDescriptor(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0)
            return failure(Error::fromErrno("Не удалось записать", errno));
        // Nothing written although there was room to ask for: treat it as the device's failure.
        if (written == 0)
            return failure(Error::fromErrno("Не удалось записать", EIO));
        text.remove_prefix(static_cast<size_t>(written));
    }
    return {};
}

Result<void> syncFolder(const std::filesystem::path& folder) {
    const auto opened = TRY(FileDescriptor::open(folder, O_RDONLY | O_DIRECTORY, "Не удалось открыть папку"));
    return opened.sync("Не удалось сохранить папку");
}

} // namespace zorvel
