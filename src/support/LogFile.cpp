#include "support/LogFile.h"

#include "support/Files.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace zorvel {

Result<LogFile> LogFile::create(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return failure(Error::fromErrno("Не удалось открыть журнал", path, errno));
    return LogFile(fd);
}

LogFile& LogFile::operator=(LogFile&& other) noexcept {
    if (this != &other) {
        close();
        m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
}

void LogFile::line(std::string_view message) {
    if (m_fd < 0)
        return;
    std::string text = "[zorvel] ";
    text.append(message);
    text.push_back('\n');
    writeToDescriptor(m_fd, text);
}

void LogFile::close() {
    if (m_fd >= 0)
        ::close(std::exchange(m_fd, -1));
}

} // namespace zorvel
