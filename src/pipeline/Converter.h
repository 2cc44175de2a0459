#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace zorvel {

// One command line of an outside tool: the executable and its arguments (without its own name).
struct ToolCommand {
    std::filesystem::path executable;
    std::vector<std::string> arguments;
};

// The audio converter: the system's /usr/bin/afconvert where it exists (macOS), else ffmpeg
// from $PATH. Nothing when neither exists; then the command names "ffmpeg" and fails to start.
namespace Converter {

// Any capture ("system.caf", "mic.caf") or "audio.m4a" into a 16 kHz mono 16-bit WAVE.
ToolCommand workWAVCommand(const std::filesystem::path& source, const std::filesystem::path& wav);

// "mixdown.wav" into AAC at 32000 bit/s in an MPEG-4 container.
ToolCommand aacCommand(const std::filesystem::path& mixdown, const std::filesystem::path& m4a);

} // namespace Converter
} // namespace zorvel
