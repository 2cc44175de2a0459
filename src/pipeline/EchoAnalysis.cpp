#include "pipeline/EchoAnalysis.h"

#include "audio/AudioFile.h"
#include "audio/SampleConversion.h"
#include "pipeline/ClockDrift.h"
#include "support/NumberText.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <memory>
#include <numbers>
#include <soxr.h>
#include <speex/speex_echo.h>

namespace zorvel::EchoAnalysis {

namespace {

constexpr int workRate = 16000;
// The analysis runs at half the work rate: speech and its echo carry nearly all their energy
// below 4 kHz, and the canceller costs half as much.
constexpr int analysisRate = 8000;
// 32 ms frames and a 300 ms filter: echo delays up to 200 ms plus 100 ms of room response.
constexpr int frameSamples = 256;
constexpr int filterSamples = 2400;
constexpr std::int64_t longestDelayMs = filterSamples * 1000 / analysisRate;
// Below this clock drift (0.5 µs a second) the echo moves by less than 20 µs between the
// warm-up and the start, which costs the canceller nothing: the system track is used as it is.
constexpr double smallestDrift = 5e-7;
// While the system track has been quieter than this (about −60 dBFS) for the whole reach of the
// filter, there is nothing the canceller could subtract: the residual is the microphone itself
// and the canceller is not run at all. Its echo would lie below any microphone's noise.
constexpr float farEndQuietLevel = 0.001F;
// Before measuring, the canceller learns the echo path on the first 30 s of far-end sound, so
// that the utterances at the start of a meeting are judged by a converged filter too.
constexpr int warmUpFrames = 30 * analysisRate / frameSamples;
// The system track counts as sounding under an utterance from the level below which the segment
// filter takes an utterance for silence (about −50 dBFS).
constexpr float systemActiveLevel = 0.003F;
// An utterance is echo when at most this share of its microphone energy is left once the echo
// estimate is removed (−8 dB). A converged canceller leaves a pure echo 15 to 30 dB down; double
// talk keeps the user's voice, which stays above this share unless it is more than about 7 dB
// quieter in the microphone than the echo it overlaps. A stricter value only keeps more echoes
// (as before this analysis existed); a looser one would start to drop a soft-spoken user's
// double talk.
constexpr float echoResidualShare = 0.158F;

// Low-pass and decimation by two: a 63-tap half-band filter (Blackman-windowed sinc), flat to
// about 3.3 kHz and more than 70 dB down above 4.7 kHz. Both tracks pass the same filter, so
// their relative timing is unchanged.
class HalfbandDecimator {
public:
    HalfbandDecimator() {
        double sum = 0.5;
        for (size_t k = 0; k < m_taps.size(); ++k) {
            const double n = static_cast<double>(2 * k + 1);
            const double half = static_cast<double>(m_taps.size()) * 2.0;
            const double window = 0.42 + 0.5 * std::cos(std::numbers::pi * n / half) +
                                  0.08 * std::cos(2.0 * std::numbers::pi * n / half);
            const double tap = std::sin(std::numbers::pi * n / 2.0) / (std::numbers::pi * n) * window;
            m_taps[k] = tap;
            sum += 2.0 * tap;
        }
        // Unity gain at 0 Hz.
        for (auto& tap : m_taps)
            tap /= sum;
        m_centre = 0.5 / sum;
        // Output k is centred on input sample 2k; before the first input, silence.
        m_buffer.assign(reach, 0.0F);
    }

    // Appends the decimated output of `count` more input samples to `out`. The output lags the
    // input by half the filter length; callers flush with zeros.
    void process(const float* in, size_t count, std::vector<float>& out) {
        m_buffer.insert(m_buffer.end(), in, in + count);
        size_t centre = reach;
        for (; centre + reach < m_buffer.size(); centre += 2) {
            double sum = m_centre * m_buffer[centre];
            for (size_t k = 0; k < m_taps.size(); ++k)
                sum += m_taps[k] * (m_buffer[centre - 2 * k - 1] + m_buffer[centre + 2 * k + 1]);
            out.push_back(static_cast<float>(sum));
        }
        // Keep what the next output still reaches back to, so that it sits at `reach` again.
        m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(centre - reach));
    }

private:
    // The taps at odd distances 1, 3, … 31 from the centre; the even ones of a half-band filter are 0.
    std::array<double, 16> m_taps{};
    static constexpr size_t reach = 2 * 16 - 1;
    double m_centre = 0.5;
    std::vector<float> m_buffer;
};

// Fourth-order Butterworth high-pass at 300 Hz on the microphone, before the canceller and the
// energy sums. The canceller notches its microphone input below a few hundred hertz (−22 dB at
// 50 Hz, −5 dB at 150 Hz, −0.8 dB at 300 Hz at this rate): energy there would count in the
// microphone but not in the residual, and a deep voice, hum or rumble would look partly
// cancelled. Without that band both sums see the same signal. Speech and its echo from
// loudspeakers keep most of their energy above it.
class Highpass {
public:
    Highpass() {
        // Two biquads with the Q of a fourth-order Butterworth's pole pairs.
        for (size_t i = 0; i < m_sections.size(); ++i) {
            const double q = i == 0 ? 0.5412 : 1.3066;
            const double w0 = 2.0 * std::numbers::pi * 300.0 / analysisRate;
            const double alpha = std::sin(w0) / (2.0 * q);
            const double a0 = 1.0 + alpha;
            Section& section = m_sections[i];
            section.b0 = (1.0 + std::cos(w0)) / 2.0 / a0;
            section.b1 = -(1.0 + std::cos(w0)) / a0;
            section.a1 = -2.0 * std::cos(w0) / a0;
            section.a2 = (1.0 - alpha) / a0;
        }
    }

    void process(float* samples, size_t count) {
        for (size_t i = 0; i < count; ++i) {
            double value = samples[i];
            for (auto& section : m_sections) {
                const double out = section.b0 * value + section.s1;
                section.s1 = section.b1 * value - section.a1 * out + section.s2;
                section.s2 = section.b0 * value - section.a2 * out;
                value = out;
            }
            samples[i] = static_cast<float>(value);
        }
    }

private:
    struct Section {
        double b0 = 0, b1 = 0, a1 = 0, a2 = 0;
        double s1 = 0, s2 = 0;
    };
    std::array<Section, 2> m_sections{};
};

struct ResamplerDeleter {
    void operator()(soxr* resampler) const { soxr_delete(resampler); }
};

// One work WAV delivered as 8 kHz frames; zeros after its end. With a drift, the track is
// stretched by it (libsoxr), so that an echo of it that slides by `drift` seconds a second in
// the microphone stays in one place against it.
class TrackFrames {
public:
    static Result<TrackFrames> open(const std::filesystem::path& wav, double drift = 0.0) {
        auto reader = TRY(AudioFileReader::open(wav));
        if (reader.sampleRate() != workRate || reader.channels() != 1)
            return failure(Error::platform("Файл «" + wav.string() + "» — не рабочий WAV 16 кГц моно"));
        TrackFrames frames(std::move(reader));
        if (drift != 0.0) {
            soxr_error_t error = nullptr;
            const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
            const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, SOXR_HI_PREC_CLOCK);
            // Output sample n is read from input position n × (1 − drift).
            frames.m_stretch.reset(
                soxr_create(analysisRate * (1.0 - drift), analysisRate, 1, &error, &io, &quality, nullptr));
            if (!frames.m_stretch)
                return failure(Error::platform(std::string("Не удалось создать преобразователь звука: ") +
                                               (error != nullptr ? error : "soxr")));
        }
        return frames;
    }

    // Length in frames of the analysis rate, rounded up.
    std::int64_t analysisLength() const { return (m_reader.length() + 1) / 2; }

    Result<void> next(float* frame) {
        while (m_pending.size() - m_taken < static_cast<size_t>(frameSamples)) {
            m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(m_taken));
            m_taken = 0;
            std::int64_t read = 0;
            if (!m_ended) {
                read = TRY(m_reader.read(m_chunk.data(), static_cast<std::int64_t>(m_chunk.size())));
                m_ended = read == 0;
            }
            if (read == 0)
                std::fill(m_chunk.begin(), m_chunk.end(), 0.0F);
            const size_t count = read == 0 ? m_chunk.size() : static_cast<size_t>(read);
            if (!m_stretch) {
                m_decimator.process(m_chunk.data(), count, m_pending);
                continue;
            }
            m_decimated.clear();
            m_decimator.process(m_chunk.data(), count, m_decimated);
            TRY(stretch());
        }
        std::copy_n(m_pending.begin() + static_cast<std::ptrdiff_t>(m_taken), frameSamples, frame);
        m_taken += frameSamples;
        return {};
    }

private:
    explicit TrackFrames(AudioFileReader reader) : m_reader(std::move(reader)), m_chunk(workRate) {}

    Result<void> stretch() {
        size_t offset = 0;
        while (offset < m_decimated.size()) {
            m_stretched.resize(m_decimated.size() - offset + 1024);
            size_t used = 0, made = 0;
            if (const soxr_error_t error =
                    soxr_process(m_stretch.get(), m_decimated.data() + offset, m_decimated.size() - offset,
                                 &used, m_stretched.data(), m_stretched.size(), &made))
                return failure(Error::platform(std::string("Не удалось преобразовать звук: ") + error));
            m_pending.insert(m_pending.end(), m_stretched.begin(),
                             m_stretched.begin() + static_cast<std::ptrdiff_t>(made));
            offset += used;
            if (used == 0 && made == 0)
                break;
        }
        return {};
    }

    AudioFileReader m_reader;
    HalfbandDecimator m_decimator;
    std::unique_ptr<soxr, ResamplerDeleter> m_stretch;
    std::vector<float> m_chunk;
    std::vector<float> m_decimated;
    std::vector<float> m_stretched;
    std::vector<float> m_pending;
    size_t m_taken = 0;
    bool m_ended = false;
};

struct EchoStateDeleter {
    void operator()(SpeexEchoState* state) const { speex_echo_state_destroy(state); }
};

// The canceller with the frames it works on. Frames of the system track (x) and the high-passed
// microphone (y) go in; the residual (e) comes out.
class Canceller {
public:
    static Result<Canceller> create() {
        std::unique_ptr<SpeexEchoState, EchoStateDeleter> state(
            speex_echo_state_init(frameSamples, filterSamples));
        if (!state)
            return failure(Error::platform("Не удалось создать подавитель эха"));
        int rate = analysisRate;
        speex_echo_ctl(state.get(), SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
        return Canceller(std::move(state));
    }

    // Returns whether the canceller ran; when the system track has been quiet for the filter's
    // whole reach, the residual is the microphone frame itself.
    bool process(const float* x, const float* y, float* e) {
        float energy = 0.0F;
        for (int i = 0; i < frameSamples; ++i)
            energy += x[i] * x[i];
        if (energy >= farEndQuietLevel * farEndQuietLevel * frameSamples)
            m_framesSinceFarEnd = 0;
        else if (m_framesSinceFarEnd <= filterSamples / frameSamples + 1)
            ++m_framesSinceFarEnd;
        if (m_framesSinceFarEnd > filterSamples / frameSamples + 1) {
            std::copy_n(y, frameSamples, e);
            return false;
        }
        floatToInt16(x, m_x.data(), frameSamples);
        floatToInt16(y, m_y.data(), frameSamples);
        speex_echo_cancellation(m_state.get(), m_y.data(), m_x.data(), m_e.data());
        int16ToFloat(m_e.data(), e, frameSamples);
        return true;
    }

    // Runs zeros through the filter's whole reach, so that the next frames are not predicted from
    // what came before. Silence teaches the filter nothing, so what it learned stays.
    void clearHistory() {
        std::fill(m_x.begin(), m_x.end(), 0);
        std::fill(m_y.begin(), m_y.end(), 0);
        for (int frame = 0; frame <= filterSamples / frameSamples + 1; ++frame)
            speex_echo_cancellation(m_state.get(), m_y.data(), m_x.data(), m_e.data());
        m_framesSinceFarEnd = filterSamples / frameSamples + 2;
    }

private:
    explicit Canceller(std::unique_ptr<SpeexEchoState, EchoStateDeleter> state) : m_state(std::move(state)) {}

    std::unique_ptr<SpeexEchoState, EchoStateDeleter> m_state;
    std::array<std::int16_t, frameSamples> m_x{}, m_y{}, m_e{};
    int m_framesSinceFarEnd = filterSamples / frameSamples + 2;
};

// Energy sums of one utterance; its bounds in samples of the analysis rate.
struct Sums {
    std::int64_t systemFrom = 0, from = 0, to = 0;
    double system = 0, mic = 0, residual = 0;
};

// Energies from the start of the tracks. An utterance's sum is the difference of the running
// totals at its bounds, so every sample is summed once however many utterances cover it (the
// recogniser's times may overlap without limit).
struct Totals {
    double system = 0, mic = 0, residual = 0;
};

// Where an utterance's sums start or end.
struct Bound {
    enum class Kind { systemFrom, from, to };
    std::int64_t at = 0;
    size_t utterance = 0;
    Kind kind = Kind::to;
};

void apply(const Bound& bound, const Totals& totals, std::vector<Sums>& sums) {
    Sums& utterance = sums[bound.utterance];
    switch (bound.kind) {
    case Bound::Kind::systemFrom:
        utterance.system -= totals.system;
        return;
    case Bound::Kind::from:
        utterance.mic -= totals.mic;
        utterance.residual -= totals.residual;
        return;
    case Bound::Kind::to:
        utterance.system += totals.system;
        utterance.mic += totals.mic;
        utterance.residual += totals.residual;
        return;
    }
}

double energy(const float* samples, std::int64_t count) {
    double sum = 0.0;
    for (std::int64_t i = 0; i < count; ++i)
        sum += static_cast<double>(samples[i]) * samples[i];
    return sum;
}

// One pass over both tracks; returns their length in samples of the analysis rate. With `sums`,
// measures the utterances; without, stops once the canceller has run on `frameBudget` frames
// (the warm-up).
Result<std::int64_t> pass(const std::filesystem::path& systemWAV, const std::filesystem::path& micWAV,
                          double drift, Canceller& canceller, std::vector<Sums>* sums, int frameBudget) {
    auto system = TRY(TrackFrames::open(systemWAV, drift));
    auto mic = TRY(TrackFrames::open(micWAV));
    const std::int64_t length = std::max(system.analysisLength(), mic.analysisLength());

    std::vector<Bound> bounds;
    if (sums) {
        bounds.reserve(3 * sums->size());
        for (size_t i = 0; i < sums->size(); ++i) {
            bounds.push_back({(*sums)[i].systemFrom, i, Bound::Kind::systemFrom});
            bounds.push_back({(*sums)[i].from, i, Bound::Kind::from});
            bounds.push_back({(*sums)[i].to, i, Bound::Kind::to});
        }
        std::sort(bounds.begin(), bounds.end(), [](const Bound& a, const Bound& b) { return a.at < b.at; });
    }
    size_t nextBound = 0;
    Totals totals;

    Highpass highpass;
    std::array<float, frameSamples> x{}, y{}, e{};
    int ran = 0;
    for (std::int64_t start = 0; start < length; start += frameSamples) {
        TRY(system.next(x.data()));
        TRY(mic.next(y.data()));
        highpass.process(y.data(), y.size());
        ran += canceller.process(x.data(), y.data(), e.data()) ? 1 : 0;
        if (!sums) {
            if (ran >= frameBudget)
                break;
            continue;
        }
        for (; nextBound < bounds.size() && bounds[nextBound].at < start + frameSamples; ++nextBound) {
            const std::int64_t within = std::max<std::int64_t>(bounds[nextBound].at - start, 0);
            apply(bounds[nextBound],
                  {totals.system + energy(x.data(), within), totals.mic + energy(y.data(), within),
                   totals.residual + energy(e.data(), within)},
                  *sums);
        }
        totals.system += energy(x.data(), frameSamples);
        totals.mic += energy(y.data(), frameSamples);
        totals.residual += energy(e.data(), frameSamples);
    }
    // Beyond the end both tracks are silent.
    for (; sums && nextBound < bounds.size(); ++nextBound)
        apply(bounds[nextBound], totals, *sums);
    return length;
}

std::string clockTime(std::int64_t ms) {
    const std::int64_t s = std::max<std::int64_t>(ms, 0) / 1000;
    char text[64];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld", static_cast<long long>(s / 3600),
                  static_cast<long long>(s % 3600 / 60), static_cast<long long>(s % 60));
    return text;
}

} // namespace

Result<std::vector<Measurement>> measure(const std::filesystem::path& systemWAV,
                                         const std::filesystem::path& micWAV,
                                         const std::vector<Span>& utterances) {
    std::vector<Sums> sums;
    sums.reserve(utterances.size());
    constexpr std::int64_t samplesPerMs = analysisRate / 1000;
    // The times come from the recogniser's output and may be anything; clamped, no sample index
    // can overflow (2^40 ms is 35 years).
    constexpr std::int64_t latestMs = std::int64_t{1} << 40;
    for (const auto& span : utterances) {
        const std::int64_t from = std::clamp<std::int64_t>(span.fromMs, 0, latestMs);
        const std::int64_t to = std::clamp<std::int64_t>(span.toMs, from, latestMs);
        sums.push_back({(from - longestDelayMs) * samplesPerMs, from * samplesPerMs, to * samplesPerMs});
    }

    double drift = TRY(ClockDrift::estimate(systemWAV, micWAV));
    if (std::abs(drift) < smallestDrift)
        drift = 0.0;
    auto canceller = TRY(Canceller::create());
    TRY(pass(systemWAV, micWAV, drift, canceller, nullptr, warmUpFrames));
    canceller.clearHistory();
    const std::int64_t length = TRY(pass(systemWAV, micWAV, drift, canceller, &sums, 0));

    std::vector<Measurement> measurements;
    measurements.reserve(sums.size());
    for (const auto& utterance : sums) {
        Measurement measurement;
        const std::int64_t systemCount =
            std::min(utterance.to, length) - std::max<std::int64_t>(utterance.systemFrom, 0);
        if (systemCount > 0)
            measurement.systemLevel = static_cast<float>(
                std::sqrt(std::max(utterance.system, 0.0) / static_cast<double>(systemCount)));
        if (utterance.mic > 0.0)
            measurement.residualShare = static_cast<float>(std::max(utterance.residual, 0.0) / utterance.mic);
        measurement.isEcho = utterance.mic > 0.0 && measurement.systemLevel >= systemActiveLevel &&
                             measurement.residualShare <= echoResidualShare;
        measurements.push_back(measurement);
    }
    return measurements;
}

void dropEchoes(const std::filesystem::path& systemWAV, const std::filesystem::path& micWAV,
                std::vector<TranscriptSegment>& micSegments, LogFile& log) {
    if (micSegments.empty())
        return;
    std::vector<Span> spans;
    spans.reserve(micSegments.size());
    for (const auto& segment : micSegments)
        spans.push_back({segment.fromMs, segment.toMs});
    const auto measured = measure(systemWAV, micWAV, spans);
    if (!measured) {
        log.line("Эхо собеседника проверить не вышло — реплики микрофона оставлены: " +
                 measured.error().description());
        return;
    }
    std::vector<TranscriptSegment> kept;
    kept.reserve(micSegments.size());
    for (size_t i = 0; i < micSegments.size(); ++i) {
        const auto& measurement = (*measured)[i];
        if (!measurement.isEcho) {
            kept.push_back(std::move(micSegments[i]));
            continue;
        }
        const double residualDecibels = 10.0 * std::log10(std::max(measurement.residualShare, 1e-9F));
        log.line("Отброшено эхо собеседника (" + clockTime(micSegments[i].fromMs) + ", остаток " +
                 fixedText(residualDecibels, 1) + " дБ): " + micSegments[i].text);
    }
    micSegments = std::move(kept);
}

} // namespace zorvel::EchoAnalysis
