#include "pipeline/Converter.h"

#include "support/ChildProcess.h"

namespace zorvel::Converter {

namespace {

const std::filesystem::path afconvert = "/usr/bin/afconvert";

bool isAfconvert(const std::filesystem::path& converter) { return converter == afconvert; }

// Names are handed over as arguments, never through a shell; "file:" keeps a path that starts
// with a dash or holds a colon from being read as an option or a protocol.
std::string ffmpegName(const std::string& name) { return "file:" + name; }

} // namespace

Result<std::filesystem::path> find() {
    if (isExecutableFile(afconvert))
        return afconvert;
    if (auto ffmpeg = findInPath("ffmpeg"))
        return *ffmpeg;
    return failure(Error::platform("Не найден ffmpeg: он нужен, чтобы читать и сжимать записи. Установите его "
                                   "(например, sudo apt install ffmpeg)."));
}

ToolCommand workWAVCommand(const std::filesystem::path& converter, const std::string& source, const std::string& wav) {
    if (isAfconvert(converter))
        return {converter, {"-f", "WAVE", "-d", "LEI16@16000", "-c", "1", source, wav}};
    // -bitexact and -map_metadata -1 keep ffmpeg from adding a LIST chunk before the audio; "-f"
    // names the container, which a descriptor's name does not tell.
    return {converter,
            {"-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-i", ffmpegName(source), "-ac", "1", "-ar",
             "16000", "-c:a", "pcm_s16le", "-bitexact", "-map_metadata", "-1", "-f", "wav", ffmpegName(wav)}};
}

ToolCommand aacCommand(const std::filesystem::path& converter, const std::string& mixdown, const std::string& m4a) {
    if (isAfconvert(converter))
        return {converter, {"-f", "m4af", "-d", "aac", "-b", "32000", mixdown, m4a}};
    return {converter,
            {"-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-i", ffmpegName(mixdown), "-c:a", "aac", "-b:a",
             "32000", "-f", "ipod", "-map_metadata", "-1", ffmpegName(m4a)}};
}

std::optional<ToolCommand> decodeCommand(const std::string& m4a) {
    const auto ffmpeg = findInPath("ffmpeg");
    if (!ffmpeg)
        return std::nullopt;
    return ToolCommand{*ffmpeg,
                       {"-nostdin", "-hide_banner", "-loglevel", "error", "-xerror", "-i", ffmpegName(m4a), "-f",
                        "s16le", "-ac", "1", "-ar", "16000", "pipe:1"}};
}

} // namespace zorvel::Converter
