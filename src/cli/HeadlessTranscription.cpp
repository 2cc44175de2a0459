#include "cli/HeadlessTranscription.h"

#include "pipeline/Transcriber.h"
#include "support/ChildProcess.h"
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

    // SIGTERM, SIGINT or SIGHUP stop the tool that runs; the run cleans up and we end with the signal.
    TerminationSignals::install();
    const auto transcript = Transcriber(language).transcribe(folder, startedAt);
    if (const int signal = TerminationSignals::received())
        TerminationSignals::endWithSignal(signal);
    if (!transcript) {
        (void)writeToDescriptor(STDERR_FILENO, transcript.error().description() + "\n");
        return 1;
    }
    // The path is the result: a caller that did not get it must not see success.
    if (auto printed = writeToDescriptor(STDOUT_FILENO, transcript->string() + "\n"); !printed) {
        (void)writeToDescriptor(STDERR_FILENO,
                                "Не удалось вывести путь к конспекту: " + printed.error().platformMessage() + "\n");
        return 1;
    }
    return 0;
}

} // namespace zorvel
