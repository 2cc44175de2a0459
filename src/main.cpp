#include "app/Application.h"
#include "cli/CommandLine.h"
#include "cli/HeadlessTranscription.h"
#include "cli/MicTest.h"

#include <clocale>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    // System messages (strerror, libpulse) in the user's language; numbers stay in the C form,
    // which our own formatting never leaves anyway. Set before any other thread exists.
    std::setlocale(LC_ALL, "");     // NOLINT(concurrency-mt-unsafe)
    std::setlocale(LC_NUMERIC, "C"); // NOLINT(concurrency-mt-unsafe)
    const std::vector<std::string> arguments(argv, argv + argc);
    const zorvel::ModeChoice choice = zorvel::chooseMode(arguments);
    switch (choice.mode) {
    case zorvel::Mode::transcribe:
        return zorvel::runHeadlessTranscription(arguments, choice.flagIndex);
    case zorvel::Mode::micTest:
        return zorvel::runMicTest(argc, argv, arguments, choice.flagIndex);
    case zorvel::Mode::application:
        break;
    }
    return zorvel::runApplication(argc, argv);
}
