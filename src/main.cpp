#include "app/Application.h"
#include "cli/CommandLine.h"
#include "cli/HeadlessTranscription.h"
#include "cli/MicTest.h"

#include <string>
#include <vector>

int main(int argc, char** argv) {
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
