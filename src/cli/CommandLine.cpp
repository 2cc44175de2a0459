#include "cli/CommandLine.h"

#include <algorithm>

namespace zorvel {

ModeChoice chooseMode(const std::vector<std::string>& arguments) {
    const auto find = [&](const char* flag) { return std::ranges::find(arguments, flag); };
    if (const auto transcribe = find("--transcribe"); transcribe != arguments.end())
        return {Mode::transcribe, static_cast<std::size_t>(transcribe - arguments.begin())};
    if (const auto micTest = find("--mic-test"); micTest != arguments.end())
        return {Mode::micTest, static_cast<std::size_t>(micTest - arguments.begin())};
    return {Mode::application, 0};
}

} // namespace zorvel
