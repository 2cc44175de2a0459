#include "app/Autostart.h"

#include "support/Files.h"

#include <QStandardPaths>
#include <cerrno>
#include <sstream>

namespace zorvel::Autostart {

namespace {

constexpr std::string_view reservedInExec = " \t\n\"'\\><~|&;$*?#()`";

// One argument of an Exec line: quoted when it holds a reserved character, with '"', '`', '$'
// and '\' escaped inside the quotes and '%' doubled, so that it is no field code.
std::string quotedArgument(const std::string& argument) {
    std::string percentSafe;
    for (char c : argument) {
        percentSafe += c;
        if (c == '%')
            percentSafe += '%';
    }
    if (percentSafe.find_first_of(reservedInExec) == std::string::npos)
        return percentSafe;
    std::string quoted = "\"";
    for (char c : percentSafe) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

// A value of a desktop entry key: backslashes and control characters escaped.
std::string escapedValue(const std::string& value) {
    std::string escaped;
    for (char c : value) {
        switch (c) {
        case '\\':
            escaped += "\\\\";
            break;
        case '\n':
            escaped += "\\n";
            break;
        case '\t':
            escaped += "\\t";
            break;
        case '\r':
            escaped += "\\r";
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

} // namespace

std::filesystem::path entryURL() {
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return std::filesystem::path(config.toStdString()) / "autostart" / "zorvel.desktop";
}

bool isEnabled() {
    const auto contents = readWholeFile(entryURL());
    if (!contents)
        return false;
    std::istringstream lines(*contents);
    std::string line;
    bool inMainGroup = false;
    while (std::getline(lines, line)) {
        if (line.starts_with('['))
            inMainGroup = line == "[Desktop Entry]";
        else if (inMainGroup && (line == "Hidden=true" || line == "X-GNOME-Autostart-enabled=false"))
            return false;
    }
    return true;
}

std::string execValue(const std::filesystem::path& executable) {
    return escapedValue(quotedArgument(executable.string()));
}

Result<void> enable(const std::filesystem::path& executable) {
    const auto entry = entryURL();
    std::error_code error;
    std::filesystem::create_directories(entry.parent_path(), error);
    if (error)
        return failure(Error::fromErrno("Не удалось создать папку", entry.parent_path(), error.value()));
    const std::string contents = "[Desktop Entry]\n"
                                 "Type=Application\n"
                                 "Name=Zorvel\n"
                                 "Comment=Records meetings and transcribes them on this computer\n"
                                 "Comment[ru]=Записывает встречи и расшифровывает их на этом компьютере\n"
                                 "Exec=" +
                                 execValue(executable) +
                                 "\n"
                                 "Icon=zorvel\n"
                                 "Terminal=false\n"
                                 "X-GNOME-Autostart-enabled=true\n";
    return writeFileAtomically(entry, contents);
}

Result<void> disable() {
    const auto entry = entryURL();
    std::error_code error;
    std::filesystem::remove(entry, error);
    if (error)
        return failure(Error::fromErrno("Не удалось удалить", entry, error.value()));
    return {};
}

} // namespace zorvel::Autostart
