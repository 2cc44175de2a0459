#include "pipeline/ClockDrift.h"

#include "audio/AudioFile.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <optional>
#include <vector>

namespace zorvel::ClockDrift {

namespace {

constexpr int rate = 16000;
// Stretches of 2 s, transformed with as much silence again so that the correlation does not wrap
// around. Short enough that a delay drifting by 300 ppm moves by less than ten samples within one.
constexpr std::int64_t blockSamples = 32768;
constexpr size_t transformSize = 2 * blockSamples;
constexpr std::int64_t mostBlocks = 24;
// The delays looked at: the echo may seem to come up to 50 ms early (the tracks' alignment is
// only good to a few milliseconds) and up to 600 ms late.
constexpr std::int64_t earliestLag = -rate / 20;
constexpr std::int64_t latestLag = rate * 6 / 10;
// Only where speech has its energy; above and below, both tracks hold mostly noise, which the
// phase transform would weigh as much as speech.
constexpr double lowestHz = 300.0, highestHz = 3800.0;
// A stretch's delay counts when its correlation peak stands this far above the correlation's RMS
// over the delays looked at. A stretch without echo has peaks of 4 to 5 times the RMS.
constexpr double clearPeak = 12.0;
// Stretches whose system track is quieter than this (about −50 dBFS) carry no echo to measure.
constexpr float activeLevel = 0.003F;
// Slopes are only believed over this much time, with this many stretches agreeing.
constexpr double shortestSpanSeconds = 20.0;
constexpr size_t fewestDelays = 3;
// Crystal clocks differ by tens of parts per million; more than 0.1 % is no clock.
constexpr double largestDrift = 1e-3;

using Complex = std::complex<double>;

// In-place radix-2 transform of a power-of-two length with a table of e^(−2πik/n).
void transform(std::vector<Complex>& data, const std::vector<Complex>& twiddles, bool inverse) {
    const size_t n = data.size();
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1)
            j ^= bit;
        j ^= bit;
        if (i < j)
            std::swap(data[i], data[j]);
    }
    for (size_t length = 2; length <= n; length <<= 1) {
        const size_t stride = n / length;
        for (size_t start = 0; start < n; start += length) {
            for (size_t k = 0; k < length / 2; ++k) {
                const Complex twiddle = inverse ? std::conj(twiddles[k * stride]) : twiddles[k * stride];
                const Complex u = data[start + k];
                const Complex v = data[start + k + length / 2] * twiddle;
                data[start + k] = u + v;
                data[start + k + length / 2] = u - v;
            }
        }
    }
}

class DelayMeter {
public:
    DelayMeter() : m_twiddles(transformSize / 2), m_signals(transformSize), m_cross(transformSize) {
        for (size_t k = 0; k < m_twiddles.size(); ++k)
            m_twiddles[k] = std::polar(1.0, -2.0 * std::numbers::pi * static_cast<double>(k) / transformSize);
    }

    // The delay of `system` in `mic`, in samples with a fraction, when the echo is clear.
    std::optional<double> delay(const std::vector<float>& system, const std::vector<float>& mic) {
        // Both real signals in one complex transform: the system track as the real part, the
        // microphone as the imaginary part.
        std::fill(m_signals.begin(), m_signals.end(), Complex{});
        for (size_t i = 0; i < system.size(); ++i)
            m_signals[i] = {system[i], mic[i]};
        transform(m_signals, m_twiddles, false);

        std::fill(m_cross.begin(), m_cross.end(), Complex{});
        const auto lowest = static_cast<size_t>(lowestHz * transformSize / rate);
        const auto highest = static_cast<size_t>(highestHz * transformSize / rate);
        for (size_t k = lowest; k <= highest; ++k) {
            const Complex z = m_signals[k], mirror = std::conj(m_signals[transformSize - k]);
            const Complex x = (z + mirror) / 2.0;
            const Complex y = (z - mirror) / Complex(0.0, 2.0);
            const Complex cross = y * std::conj(x);
            const double magnitude = std::abs(cross);
            if (magnitude > 0.0) {
                m_cross[k] = cross / magnitude;
                m_cross[transformSize - k] = std::conj(m_cross[k]);
            }
        }
        transform(m_cross, m_twiddles, true);

        const auto at = [&](std::int64_t lag) {
            return m_cross[static_cast<size_t>((lag + static_cast<std::int64_t>(transformSize)) %
                                               transformSize)]
                .real();
        };
        std::int64_t best = earliestLag;
        double sumOfSquares = 0.0;
        for (std::int64_t lag = earliestLag; lag <= latestLag; ++lag) {
            sumOfSquares += at(lag) * at(lag);
            if (at(lag) > at(best))
                best = lag;
        }
        const double spread = std::sqrt(sumOfSquares / static_cast<double>(latestLag - earliestLag + 1));
        if (!(at(best) > clearPeak * spread) || best == earliestLag || best == latestLag)
            return std::nullopt;
        // The peak between samples, from a parabola through it and its neighbours.
        const double before = at(best - 1), peak = at(best), after = at(best + 1);
        const double curvature = before - 2.0 * peak + after;
        return static_cast<double>(best) + (curvature < 0.0 ? 0.5 * (before - after) / curvature : 0.0);
    }

private:
    std::vector<Complex> m_twiddles;
    std::vector<Complex> m_signals;
    std::vector<Complex> m_cross;
};

float rms(const std::vector<float>& samples) {
    double sum = 0.0;
    for (const float s : samples)
        sum += static_cast<double>(s) * s;
    return static_cast<float>(std::sqrt(sum / static_cast<double>(samples.size())));
}

// Where in a stretch its energy lies on average. A delay measured over a stretch is the delay
// there, not at the stretch's middle: speech fills a stretch unevenly, and a drifting delay
// changes within it.
double energyCentre(const std::vector<float>& samples) {
    double sum = 0.0, moment = 0.0;
    for (size_t i = 0; i < samples.size(); ++i) {
        const double energy = static_cast<double>(samples[i]) * samples[i];
        sum += energy;
        moment += energy * static_cast<double>(i);
    }
    return sum > 0.0 ? moment / sum : static_cast<double>(samples.size()) / 2.0;
}

Result<void> skip(AudioFileReader& file, std::int64_t frames, std::vector<float>& scratch) {
    while (frames > 0) {
        const std::int64_t read =
            TRY(file.read(scratch.data(), std::min<std::int64_t>(frames, blockSamples)));
        if (read == 0)
            return {};
        frames -= read;
    }
    return {};
}

double median(std::vector<double> values) {
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2),
                     values.end());
    return values[values.size() / 2];
}

} // namespace

Result<double> estimate(const std::filesystem::path& systemWAV, const std::filesystem::path& micWAV) {
    auto system = TRY(AudioFileReader::open(systemWAV));
    auto mic = TRY(AudioFileReader::open(micWAV));
    for (const auto* file : {&system, &mic})
        if (file->sampleRate() != rate || file->channels() != 1)
            return 0.0;
    const std::int64_t length = std::min(system.length(), mic.length());
    const std::int64_t blocks = std::min(mostBlocks, length / blockSamples);
    if (blocks < 2)
        return 0.0;

    DelayMeter meter;
    std::vector<float> systemBlock(blockSamples), micBlock(blockSamples);
    // (time in samples, delay in samples) of every stretch with a clear echo.
    std::vector<std::pair<double, double>> delays;
    std::int64_t position = 0;
    for (std::int64_t block = 0; block < blocks; ++block) {
        const std::int64_t start = block * (length - blockSamples) / (blocks - 1);
        TRY(skip(system, start - position, systemBlock));
        TRY(skip(mic, start - position, micBlock));
        const std::int64_t gotSystem = TRY(system.read(systemBlock.data(), blockSamples));
        const std::int64_t gotMic = TRY(mic.read(micBlock.data(), blockSamples));
        position = start + blockSamples;
        if (gotSystem < blockSamples || gotMic < blockSamples)
            break;
        if (rms(systemBlock) < activeLevel)
            continue;
        if (const auto delay = meter.delay(systemBlock, micBlock))
            delays.emplace_back(static_cast<double>(start) + energyCentre(systemBlock), *delay);
    }
    if (delays.size() < fewestDelays ||
        delays.back().first - delays.front().first < shortestSpanSeconds * rate)
        return 0.0;

    // The median of the slopes between all pairs of stretches (Theil and Sen): a stretch whose
    // peak is a reflection, or a jump where the recorder re-aligned a track, does not move it.
    std::vector<double> slopes;
    slopes.reserve(delays.size() * (delays.size() - 1) / 2);
    for (size_t i = 0; i < delays.size(); ++i)
        for (size_t j = i + 1; j < delays.size(); ++j)
            slopes.push_back((delays[j].second - delays[i].second) / (delays[j].first - delays[i].first));
    const double slope = median(slopes);
    // Most stretches must lie on the line: within two samples of it.
    std::vector<double> offsets;
    offsets.reserve(delays.size());
    for (const auto& [time, delay] : delays)
        offsets.push_back(delay - slope * time);
    const double offset = median(offsets);
    const auto onTheLine = std::count_if(offsets.begin(), offsets.end(),
                                         [&](double value) { return std::abs(value - offset) <= 2.0; });
    if (static_cast<size_t>(onTheLine) * 3 < delays.size() * 2 || std::abs(slope) > largestDrift)
        return 0.0;
    return slope;
}

} // namespace zorvel::ClockDrift
