#include "support/LogFile.h"

#include "support/Files.h"

#include <fcntl.h>
#include <string>
#include <sys/stat.h>

namespace zorvel {

Result<LogFile> LogFile::create(const std::filesystem::path& path) {
    return LogFile(TRY(createFileReplacing(path, O_WRONLY, "Не удалось открыть журнал")));
}

void LogFile::reserve(std::size_t bytes) {
    struct stat status {};
    if (m_file.get() >= 0 && ::fstat(m_file.get(), &status) == 0)
        ::fallocate(m_file.get(), FALLOC_FL_KEEP_SIZE, status.st_size, static_cast<off_t>(bytes));
}

void LogFile::line(std::string_view message) const {
    if (m_file.get() < 0)
        return;
    std::string text = "[zorvel] ";
    text.append(message);
    text.push_back('\n');
    (void)writeToDescriptor(m_file.get(), text);
}

void LogFile::close() { (void)m_file.close("Не удалось закрыть журнал"); }

} // namespace zorvel
