#pragma once

#include <cstdint>
#include <deque>
#include <optional>

namespace zorvel {

// Where a capture's frames belong in a track file that counts from one start instant, decided by
// the sound server's own timing, never by when a buffer happened to reach us.
//
// A run is a stretch of one capture whose stream positions advance with its device's clock: a new
// capture starts one, and so does a capture whose device paused (the positions then go on where
// they stopped, although time may not have). Within a run, frames follow each other in the file
// with nothing added or taken away.
//
// From time to time the server reports when the frame at some stream position was captured. A
// report can come late (the server was busy between looking at its device and answering, or the
// device does not count what it still holds), but not much early. So a run starts where the
// earliest of its reports puts it; a run after a pause that lands within `lateTolerance` of where
// the last one ended simply continues it. Afterwards only a lasting disagreement moves it: when the
// last `agreeingReports` reports all put the run more than `lateTolerance` later, or more than
// `earlyTolerance` earlier, than where it is being written, the difference is made good at the point
// being written, with silence or by dropping frames. That is a device clock that runs slower or
// faster than the system's, or audio that the server lost without saying so; a late report, however
// late, changes nothing. Early reports can be trusted sooner, since nothing makes a report early:
// a device that runs fast is kept closer to the clock than one that runs slow.
//
// Pure arithmetic on seconds and frame counts; one thread.
enum class RunStart {
    newCapture, // a capture of its own: placed exactly, so a gap is filled by exactly its time
    afterPause, // the same capture after its device paused: continues unless the pause shows
};

class TrackPlacement {
public:
    explicit TrackPlacement(int fileRate) : m_fileRate(fileRate) {}

    static constexpr double lateTolerance = 0.02;
    static constexpr double earlyTolerance = 0.008;
    static constexpr std::size_t agreeingReports = 4;
    // A new run is placed once it has this many reports, or once it holds this much audio and has
    // at least one report (the server answers within milliseconds of a start, and more than ten
    // times in its first quarter second), or, with no report at all, once it holds noReportLimit
    // of audio: it then follows on at the end of the file. The more reports, the surer the
    // earliest: a device that works in blocks reports up to a block late, depending on when.
    static constexpr std::size_t settlingReports = 12;
    static constexpr double settlingAudio = 0.25;
    static constexpr double noReportLimit = 1.0;

    // A run starts at stream position `firstPosition` on a device of `deviceRate` frames a second.
    void beginRun(std::int64_t firstPosition, int deviceRate, RunStart start = RunStart::newCapture);

    // The server's report that the frame at stream position `position` was captured `capturedAt`
    // seconds after the file's start. For a placed run, returns a correction to make at the point
    // being written, in file frames: silence to write when positive, frames to drop when negative.
    // Reports on no frame of the run yet (at or before its first position) say nothing about it.
    std::int64_t report(std::int64_t position, double capturedAt);

    bool isPlaced() const { return m_runStart.has_value(); }
    // Whether the run, holding `heldFrames` device frames not yet written, should be placed now.
    bool shouldPlace(std::int64_t heldFrames) const;

    // Places the run after the `framesInFile` frames the file holds: returns the silence to write
    // before its first frame when positive, the frames to drop from its start when negative. A run
    // without a report follows on at the end of the file.
    std::int64_t place(std::int64_t framesInFile);

private:
    std::int64_t fileFrames(double seconds) const;

    const int m_fileRate;
    std::int64_t m_firstPosition = 0;
    int m_deviceRate = 0;
    RunStart m_start = RunStart::newCapture;
    // The earliest start of the run that a report gave, and how many reports there were.
    std::optional<double> m_earliestStart;
    std::size_t m_reports = 0;
    // Once placed: where the run's first frame is in the file, in seconds from its start.
    std::optional<double> m_runStart;
    // How far the latest reports put the run from there, in seconds.
    std::deque<double> m_disagreements;
};

} // namespace zorvel
