#pragma once

#include "support/Error.h"

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

// The audio converter: the system's /usr/bin/afconvert where it exists (macOS), else ffmpeg from
// $PATH. The commands take the names the tool is to open: paths, or passed descriptors
// (passedDescriptorPath) for files we opened ourselves.
namespace Converter {

// The converter's absolute path, looked up afresh. Fails with a message that says what to install.
Result<std::filesystem::path> find();

// Any capture ("system.caf", "mic.caf") or "audio.m4a" into a 16 kHz mono 16-bit WAVE.
ToolCommand workWAVCommand(const std::filesystem::path& converter, const std::string& source,
                           const std::string& wav);

// "mixdown.wav" into AAC at 32000 bit/s in an MPEG-4 container.
ToolCommand aacCommand(const std::filesystem::path& converter, const std::string& mixdown, const std::string& m4a);

// Decodes an MPEG-4 audio file from start to end into 16 kHz mono 16-bit little-endian samples on
// standard output, and fails (a non-zero exit) at the first piece that does not decode. Needs
// ffmpeg; nothing when there is none on $PATH.
std::optional<ToolCommand> decodeCommand(const std::string& m4a);

} // namespace Converter
} // namespace zorvel
