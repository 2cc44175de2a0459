#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace zorvel::test {

// How the other side's voice reaches the microphone.
struct Bleed {
    // false: headphones, nothing of the other side reaches the microphone.
    bool present = true;
    // The echo's level in the microphone below the other side's level in the system track.
    double belowSystemDb = 12.0;
    // From the system track to the direct sound in the microphone.
    std::int64_t delayMs = 100;
    // How much faster the microphone's clock runs than the system track's, in parts per million:
    // the microphone track is stretched by as much, and the echo slides later and later in it.
    double clockDriftPpm = 0.0;
};

// What a microphone utterance really is.
enum class Truth { echo, own, doubleTalk };

struct MeetingLine {
    std::int64_t fromMs = 0;
    std::int64_t toMs = 0;
    std::string text;
    Truth truth = Truth::own;
};

// A two-track meeting at 16 kHz: voice A (espeak-ng) on the system track; on the microphone voice B,
// A through a loudspeaker and a room-like response (direct sound, early reflections and a decaying
// tail of about 300 ms) at the given delay and level, mains hum and noise. A and B take turns, and
// now and then B talks over A. `micLines` are the utterances a recogniser would report on the
// microphone: A's lines heard as echo, B's own lines and B's lines over A.
struct Meeting {
    std::vector<float> system;
    std::vector<float> mic;
    std::vector<MeetingLine> systemLines;
    std::vector<MeetingLine> micLines;
};

Meeting syntheticMeeting(const Bleed& bleed);

// The same meeting with the system track silent and A's voice in the room instead: the microphone
// hears both people, and nothing on it is an echo of the system track.
Meeting meetingWithSilentSystemTrack();

// The recogniser double's side-file lines for `lines`: "FROM TO TEXT".
std::string recognisedLines(const std::vector<MeetingLine>& lines);

// `samples` at `fromRate` resampled to `toRate` with libsoxr; also stretches a track by a clock's
// drift.
std::vector<float> resampled(const std::vector<float>& samples, double fromRate, double toRate);

// espeak-ng speech for `text`, resampled to 16 kHz mono. Cached per voice and text.
const std::vector<float>& speech(const std::string& voice, const std::string& text);

} // namespace zorvel::test
