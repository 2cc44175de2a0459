#include "support/LogFile.h"

#include <fcntl.h>
#include <string>

namespace zorvel {

Result<LogFile> LogFile::create(const std::filesystem::path& path) {
    return LogFile(TRY(FileDescriptor::open(path, O_WRONLY | O_CREAT | O_TRUNC, "Не удалось открыть журнал", 0666)));
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
