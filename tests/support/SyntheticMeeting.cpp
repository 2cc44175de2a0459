#include "SyntheticMeeting.h"

#include "TestAudio.h"
#include "TestEnvironment.h"
#include "support/ChildProcess.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <numbers>
#include <random>
#include <soxr.h>
#include <stdexcept>

namespace zorvel::test {

namespace {

constexpr int rate = 16000;
constexpr const char* voiceA = "ru+m3";
constexpr const char* voiceB = "ru+f3";

constexpr std::array<const char*, 8> linesA = {
    "Добрый день, коллеги, все подключились?",   "Давайте начнём с отчёта за прошлую неделю.",
    "Сборка на стенде прошла, тесты зелёные.",   "Мне кажется, сроки слишком оптимистичные.",
    "Клиент просил добавить экспорт в таблицы.", "Предлагаю перенести выпуск на четверг.",
    "Нагрузка на сервер выросла почти вдвое.",   "Хорошо, тогда фиксируем это решение.",
};
constexpr std::array<const char*, 6> linesB = {
    "Да, я слышу вас хорошо.",
    "Я пришлю протокол сегодня вечером.",
    "Подождите, а кто отвечает за миграцию?",
    "Согласна, давайте так и сделаем.",
    "У меня есть вопрос по бюджету.",
    "Можно подробнее про нагрузку?",
};

// A generator whose sequence the standard fixes, so that every machine hears the same meeting.
struct Random {
    std::minstd_rand engine;
    explicit Random(std::uint32_t seed) : engine(seed) {}
    double uniform(double lo, double hi) {
        return lo + (hi - lo) * static_cast<double>(engine() - std::minstd_rand::min()) /
                        static_cast<double>(std::minstd_rand::max() - std::minstd_rand::min());
    }
    double sign() { return engine() & 1U ? 1.0 : -1.0; }
};

double rms(const std::vector<float>& samples) {
    double sum = 0.0;
    for (const float s : samples)
        sum += static_cast<double>(s) * s;
    return samples.empty() ? 0.0 : std::sqrt(sum / static_cast<double>(samples.size()));
}

std::int64_t toSample(std::int64_t ms) {
    return ms * rate / 1000;
}
std::int64_t toMs(std::int64_t sample) {
    return sample * 1000 / rate;
}
std::int64_t roundTo10(std::int64_t ms) {
    return std::max<std::int64_t>(0, ms / 10 * 10);
}

void addAt(std::vector<float>& track, std::int64_t at, const std::vector<float>& sound, double gain) {
    if (track.size() < static_cast<size_t>(at) + sound.size())
        track.resize(static_cast<size_t>(at) + sound.size(), 0.0F);
    for (size_t i = 0; i < sound.size(); ++i)
        track[static_cast<size_t>(at) + i] += static_cast<float>(gain * sound[i]);
}

// Speech of one person, scaled to a given RMS.
std::vector<float> line(const char* voice, const char* text, double level) {
    std::vector<float> samples = speech(voice, text);
    const double gain = level / rms(samples);
    for (auto& s : samples)
        s = static_cast<float>(s * gain);
    return samples;
}

// A small loudspeaker: no bass below about 200 Hz and a little third-harmonic distortion.
std::vector<float> loudspeaker(const std::vector<float>& in) {
    std::vector<float> out(in.size());
    const double pole = std::exp(-2.0 * std::numbers::pi * 200.0 / rate);
    double previousIn = 0.0, previousOut = 0.0;
    for (size_t i = 0; i < in.size(); ++i) {
        const double highpassed = pole * (previousOut + in[i] - previousIn);
        previousIn = in[i];
        previousOut = highpassed;
        out[i] = static_cast<float>(highpassed - 0.1 * highpassed * highpassed * highpassed);
    }
    return out;
}

// The room between loudspeaker and microphone: the direct sound after `delayMs`, eight early
// reflections within 25 ms and 150 later ones decaying by 60 dB in 300 ms.
std::vector<float> throughRoom(const std::vector<float>& in, std::int64_t delayMs, std::uint32_t seed) {
    Random random{seed};
    std::vector<std::pair<std::int64_t, double>> taps{{0, 1.0}};
    for (int i = 0; i < 8; ++i)
        taps.emplace_back(toSample(2) + static_cast<std::int64_t>(random.uniform(0, toSample(23))),
                          random.sign() * random.uniform(0.3, 0.7));
    for (int i = 0; i < 150; ++i) {
        const double seconds = random.uniform(0.025, 0.3);
        taps.emplace_back(static_cast<std::int64_t>(seconds * rate),
                          random.sign() * random.uniform(0.5, 1.0) * 0.35 * std::exp(-6.9 * seconds / 0.3));
    }
    const std::int64_t delay = toSample(delayMs);
    std::vector<float> out(in.size() + static_cast<size_t>(delay + toSample(300)), 0.0F);
    for (const auto& [offset, gain] : taps) {
        float* to = out.data() + delay + offset;
        const auto g = static_cast<float>(gain);
        for (size_t i = 0; i < in.size(); ++i)
            to[i] += g * in[i];
    }
    return out;
}

// Microphone self-noise at about −63 dBFS and mains hum at 50 and 150 Hz.
void addNoiseAndHum(std::vector<float>& mic, std::uint32_t seed) {
    Random random{seed};
    for (size_t i = 0; i < mic.size(); ++i) {
        const double t = static_cast<double>(i) / rate;
        mic[i] += static_cast<float>(random.uniform(-0.0012, 0.0012) +
                                     0.002 * std::sin(2 * std::numbers::pi * 50 * t) +
                                     0.0007 * std::sin(2 * std::numbers::pi * 150 * t));
    }
}

enum class Turn { a, b, bOverA };

// Who speaks when: A, B, A, A, B, B over A, A, B, five times over.
struct Script {
    struct Placed {
        Turn turn;
        std::int64_t aFrom = 0, aTo = 0, bFrom = 0, bTo = 0;
        const char* aText = nullptr;
        const char* bText = nullptr;
    };
    std::vector<Placed> placed;
    std::vector<float> a, b; // each person's voice alone, at their own track's level
};

Script script(std::int64_t echoDelayMs) {
    constexpr std::array<Turn, 8> cycle = {Turn::a, Turn::b,      Turn::a, Turn::a,
                                           Turn::b, Turn::bOverA, Turn::a, Turn::b};
    Random random{12345};
    Script s;
    std::int64_t cursor = toSample(500);
    size_t nextA = 0, nextB = 0;
    for (int round = 0; round < 5; ++round) {
        for (const Turn turn : cycle) {
            Script::Placed placed{turn};
            const auto gap = toSample(static_cast<std::int64_t>(random.uniform(500, 1100)));
            if (turn != Turn::b) {
                placed.aText = linesA[nextA++ % linesA.size()];
                const auto voice = line(voiceA, placed.aText, 0.1);
                placed.aFrom = cursor;
                placed.aTo = cursor + static_cast<std::int64_t>(voice.size());
                addAt(s.a, cursor, voice, 1.0);
            }
            if (turn != Turn::a) {
                placed.bText = linesB[nextB++ % linesB.size()];
                const auto voice = line(voiceB, placed.bText, 0.08);
                placed.bFrom =
                    turn == Turn::b ? cursor : placed.aFrom + (placed.aTo - placed.aFrom) * 35 / 100;
                placed.bTo = placed.bFrom + static_cast<std::int64_t>(voice.size());
                addAt(s.b, placed.bFrom, voice, 1.0);
            }
            cursor = std::max(placed.aTo + (turn == Turn::b ? 0 : toSample(echoDelayMs)), placed.bTo) + gap;
            s.placed.push_back(placed);
        }
    }
    const auto length = static_cast<size_t>(cursor);
    s.a.resize(length, 0.0F);
    s.b.resize(length, 0.0F);
    return s;
}

// The recogniser's segments are looser than the speech: they start a little early and end late.
MeetingLine reported(std::int64_t fromSample, std::int64_t toSample, const char* text, Truth truth) {
    return {roundTo10(toMs(fromSample) - 100), roundTo10(toMs(toSample) + 200), text, truth};
}

} // namespace

std::vector<float> resampled(const std::vector<float>& samples, double fromRate, double toRate) {
    std::vector<float> out(static_cast<size_t>(static_cast<double>(samples.size()) * toRate / fromRate) + 16);
    size_t done = 0;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, SOXR_HI_PREC_CLOCK);
    if (soxr_oneshot(fromRate, toRate, 1, samples.data(), samples.size(), nullptr, out.data(), out.size(),
                     &done, &io, &quality, nullptr) != nullptr)
        throw std::runtime_error("soxr failed");
    out.resize(done);
    return out;
}

const std::vector<float>& speech(const std::string& voice, const std::string& text) {
    static std::map<std::pair<std::string, std::string>, std::vector<float>> cache;
    const auto key = std::make_pair(voice, text);
    if (const auto found = cache.find(key); found != cache.end())
        return found->second;

    const auto espeak = findInPath("espeak-ng");
    if (!espeak)
        throw std::runtime_error("espeak-ng is not installed (scripts/setup installs it)");
    TemporaryFolder folder("espeak");
    const auto wav = folder / "speech.wav";
    const auto run = runProgram(*espeak, {"-v", voice, "-w", wav.string(), text});
    if (run.exitStatus != 0)
        throw std::runtime_error("espeak-ng failed: " + run.standardError);
    int sampleRate = 0;
    const std::vector<float> spoken = readAudio(wav, nullptr, &sampleRate);

    return cache.emplace(key, resampled(spoken, sampleRate, rate)).first->second;
}

Meeting syntheticMeeting(const Bleed& bleed) {
    const Script s = script(bleed.present ? bleed.delayMs : 0);
    Meeting meeting;
    meeting.system = s.a;
    meeting.mic = s.b;
    if (bleed.present) {
        auto echo = throughRoom(loudspeaker(s.a), bleed.delayMs, 777);
        echo.resize(s.a.size());
        const double gain = rms(s.a) / rms(echo) * std::pow(10.0, -bleed.belowSystemDb / 20.0);
        for (size_t i = 0; i < echo.size(); ++i)
            meeting.mic[i] += static_cast<float>(gain * echo[i]);
    }
    addNoiseAndHum(meeting.mic, 99);
    const double stretch = 1.0 + bleed.clockDriftPpm * 1e-6;
    if (bleed.clockDriftPpm != 0.0)
        meeting.mic = resampled(meeting.mic, rate, rate * stretch);

    const std::int64_t delay = toSample(bleed.delayMs);
    for (const auto& placed : s.placed) {
        if (placed.turn != Turn::b)
            meeting.systemLines.push_back(reported(placed.aFrom, placed.aTo, placed.aText, Truth::own));
        if (placed.turn == Turn::a && bleed.present)
            meeting.micLines.push_back(
                reported(placed.aFrom + delay, placed.aTo + delay, placed.aText, Truth::echo));
        if (placed.turn == Turn::b)
            meeting.micLines.push_back(reported(placed.bFrom, placed.bTo, placed.bText, Truth::own));
        if (placed.turn == Turn::bOverA)
            meeting.micLines.push_back(reported(placed.bFrom, placed.bTo, placed.bText, Truth::doubleTalk));
    }
    for (auto& line : meeting.micLines) {
        line.fromMs = roundTo10(static_cast<std::int64_t>(static_cast<double>(line.fromMs) * stretch));
        line.toMs = roundTo10(static_cast<std::int64_t>(static_cast<double>(line.toMs) * stretch));
    }
    return meeting;
}

Meeting meetingWithSilentSystemTrack() {
    const Script s = script(0);
    Meeting meeting;
    meeting.system.assign(s.a.size(), 0.0F);
    meeting.mic = s.b;
    for (size_t i = 0; i < s.a.size(); ++i)
        meeting.mic[i] += 0.6F * s.a[i];
    addNoiseAndHum(meeting.mic, 98);
    for (const auto& placed : s.placed) {
        if (placed.turn != Turn::b)
            meeting.micLines.push_back(reported(placed.aFrom, placed.aTo, placed.aText, Truth::own));
        if (placed.turn != Turn::a)
            meeting.micLines.push_back(reported(placed.bFrom, placed.bTo, placed.bText,
                                                placed.turn == Turn::b ? Truth::own : Truth::doubleTalk));
    }
    return meeting;
}

std::string recognisedLines(const std::vector<MeetingLine>& lines) {
    std::string text;
    for (const auto& line : lines)
        text += std::to_string(line.fromMs) + " " + std::to_string(line.toMs) + " " + line.text + "\n";
    return text;
}

} // namespace zorvel::test
