#include "recording/TrackPlacement.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace zorvel {

std::int64_t TrackPlacement::fileFrames(double seconds) const {
    return std::llround(seconds * m_fileRate);
}

void TrackPlacement::beginRun(std::int64_t firstPosition, int deviceRate, RunStart start) {
    m_firstPosition = firstPosition;
    m_deviceRate = deviceRate;
    m_start = start;
    m_earliestStart.reset();
    m_reports = 0;
    m_runStart.reset();
    m_disagreements.clear();
}

std::int64_t TrackPlacement::report(std::int64_t position, double capturedAt) {
    if (position <= m_firstPosition || m_deviceRate <= 0)
        return 0;
    const double start = capturedAt - static_cast<double>(position - m_firstPosition) / m_deviceRate;
    ++m_reports;
    m_earliestStart = std::min(m_earliestStart.value_or(start), start);
    if (!m_runStart)
        return 0;

    m_disagreements.push_back(start - *m_runStart);
    if (m_disagreements.size() > agreeingReports)
        m_disagreements.pop_front();
    if (m_disagreements.size() < agreeingReports)
        return 0;
    const auto [least, most] = std::minmax_element(m_disagreements.begin(), m_disagreements.end());
    // All late, or all early: move by the smallest of them, which the others confirm.
    double shift = 0;
    if (*least > lateTolerance)
        shift = *least;
    else if (*most < -earlyTolerance)
        shift = *most;
    const std::int64_t frames = fileFrames(shift);
    if (frames == 0)
        return 0;
    *m_runStart += static_cast<double>(frames) / m_fileRate;
    m_disagreements.clear();
    return frames;
}

bool TrackPlacement::shouldPlace(std::int64_t heldFrames) const {
    if (m_runStart || m_deviceRate <= 0)
        return false;
    const double held = static_cast<double>(heldFrames) / m_deviceRate;
    if (!m_earliestStart)
        return held >= noReportLimit;
    return m_reports >= settlingReports || held >= settlingAudio;
}

std::int64_t TrackPlacement::place(std::int64_t framesInFile) {
    std::int64_t start = m_earliestStart ? fileFrames(*m_earliestStart) : framesInFile;
    // A device that only stood still (a busy server catching up) goes on without a seam.
    if (m_start == RunStart::afterPause && std::abs(start - framesInFile) <= fileFrames(lateTolerance))
        start = framesInFile;
    m_runStart = static_cast<double>(start) / m_fileRate;
    return start - framesInFile;
}

} // namespace zorvel
