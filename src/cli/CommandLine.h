#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace zorvel {

// The three ways the one executable runs.
enum class Mode { transcribe, micTest, application };

struct ModeChoice {
    Mode mode = Mode::application;
    // Position of the first occurrence of the chosen flag; operands follow it by position.
    std::size_t flagIndex = 0;
};

// Chooses the mode from the whole argument list (program path first). Flags count only as whole
// arguments, the first occurrence wins, and "--transcribe" wins over "--mic-test".
ModeChoice chooseMode(const std::vector<std::string>& arguments);

} // namespace zorvel
