#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

// How long the converted forms of a recording may be against the captures, in frames at 16 kHz.
// A shortened work WAV or "audio.m4a" means a tool ran out of disk or a recogniser damaged its
// input; either must never replace the captures.
namespace zorvel::AudioLength {

// Resampling to 16 kHz rounds the length by a frame or so; 10 ms covers it many times over.
constexpr std::int64_t roundingFrames = 160;
// ffmpeg's AAC encoder fills its last frame of 1024 samples up with silence, and ffmpeg 5.1
// decodes that padding (it trims only the priming at the start).
constexpr std::int64_t aacFrameFrames = 1024;

// A work WAV holds the whole source.
constexpr bool isWholeWorkWAV(std::int64_t written, std::int64_t expected) {
    return written >= expected - roundingFrames;
}

// A decoded "audio.m4a" is as long as the longest capture: no more than rounding shorter, no more
// than one AAC frame and rounding longer.
constexpr bool isWholeAAC(std::int64_t decoded, std::int64_t expected) {
    return decoded >= expected - roundingFrames && decoded <= expected + aacFrameFrames + roundingFrames;
}

// The length of an audio file we can read ourselves (the captures, the work WAVs), in frames at
// 16 kHz; nothing when it can't be read.
std::optional<std::int64_t> framesAt16k(const std::filesystem::path& audio);

// Frames at 16 kHz as seconds with one decimal: "3.1".
std::string secondsText(std::int64_t framesAt16k);

} // namespace zorvel::AudioLength
