#include "cli/HeadlessTranscription.h"

#include "pipeline/Transcriber.h"
#include "support/FileTimes.h"
#include "support/FileDescriptor.h"
#include "support/Files.h"
#include "support/Settings.h"

#include <cstdio>
#include <unistd.h>

namespace zorvel {

int runHeadlessTranscription(const std::vector<std::string>& arguments, std::size_t flagIndex) {
    if (flagIndex + 1 >= arguments.size()) {
        (void)writeToDescriptor(STDERR_FILENO, "Укажите папку записи\n");
        return 2;
    }
    std::error_code ignored;
    const std::filesystem::path folder = std::filesystem::absolute(expandTilde(arguments[flagIndex + 1]), ignored);
    const auto startedAt = creationTime(folder).value_or(std::chrono::system_clock::now());
    const std::string language =
        flagIndex + 2 < arguments.size() ? arguments[flagIndex + 2] : Settings::effectiveTranscriptionLanguage();

    const auto transcript = Transcriber(language).transcribe(folder, startedAt);
    if (!transcript) {
        (void)writeToDescriptor(STDERR_FILENO, transcript.error().description() + "\n");
        return 1;
    }
    (void)writeToDescriptor(STDOUT_FILENO, transcript->string() + "\n");
    return 0;
}

} // namespace zorvel
