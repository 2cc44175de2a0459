#include "pipeline/Converter.h"

#include "support/ChildProcess.h"

namespace zorvel::Converter {

namespace {

const std::filesystem::path afconvert = "/usr/bin/afconvert";

bool hasAfconvert() { return isExecutableFile(afconvert); }

std::filesystem::path ffmpeg() { return findInPath("ffmpeg").value_or("ffmpeg"); }

// Paths are handed over as arguments, never through a shell; "file:" keeps a path that starts
// with a dash or holds a colon from being read as an option or a protocol.
std::string ffmpegPath(const std::filesystem::path& path) { return "file:" + path.string(); }

} // namespace

ToolCommand workWAVCommand(const std::filesystem::path& source, const std::filesystem::path& wav) {
    if (hasAfconvert())
        return {afconvert, {"-f", "WAVE", "-d", "LEI16@16000", "-c", "1", source.string(), wav.string()}};
    // -bitexact and -map_metadata -1 keep ffmpeg from adding a LIST chunk before the audio.
    return {ffmpeg(),
            {"-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-i", ffmpegPath(source), "-ac", "1", "-ar",
             "16000", "-c:a", "pcm_s16le", "-bitexact", "-map_metadata", "-1", ffmpegPath(wav)}};
}

ToolCommand aacCommand(const std::filesystem::path& mixdown, const std::filesystem::path& m4a) {
    if (hasAfconvert())
        return {afconvert, {"-f", "m4af", "-d", "aac", "-b", "32000", mixdown.string(), m4a.string()}};
    return {ffmpeg(),
            {"-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-i", ffmpegPath(mixdown), "-c:a", "aac", "-b:a",
             "32000", "-f", "ipod", "-map_metadata", "-1", ffmpegPath(m4a)}};
}

} // namespace zorvel::Converter
