#include "SpeechLikeAudio.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace zorvel::bench {

namespace {

constexpr std::array<const char*, 12> phrases = {
    "Добрый день, все в сборе?",
    "Давайте начнём с отчёта за прошлую неделю.",
    "Сборка на стенде прошла, тесты зелёные.",
    "Мне кажется, сроки слишком оптимистичные.",
    "Можно подробнее про нагрузку на сервер?",
    "Да, слышно хорошо, продолжайте.",
    "Предлагаю перенести релиз на четверг.",
    "Let's check the numbers after the meeting.",
    "Я пришлю протокол сегодня вечером.",
    "Клиент просил добавить экспорт в PDF.",
    "Хорошо, тогда фиксируем это решение.",
    "Вопросы есть? Если нет, заканчиваем.",
};

// xorshift32: cheap and deterministic, which is all test audio needs.
struct Random {
    std::uint32_t state;
    std::uint32_t next() {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
    // Uniform in [lo, hi].
    std::int64_t between(std::int64_t lo, std::int64_t hi) {
        return lo + static_cast<std::int64_t>(next() % static_cast<std::uint32_t>(hi - lo + 1));
    }
    float bipolar() { return static_cast<float>(next() >> 8) / 8388608.0F - 1.0F; }
};

} // namespace

std::vector<Utterance> conversation(std::int64_t durationMs, std::uint32_t seed) {
    Random random{seed | 1U};
    std::vector<Utterance> utterances;
    int speaker = 0;
    std::int64_t at = 500;
    while (at + 1500 < durationMs - 500) {
        const std::int64_t end = std::min(at + random.between(150, 800) * 10, durationMs - 500);
        utterances.push_back({speaker, at, end, phrases[random.next() % phrases.size()]});
        at = end + random.between(20, 200) * 10;
        if (random.next() % 10 < 6)
            speaker ^= 1;
    }
    return utterances;
}

Result<void> writeTrack(const std::filesystem::path& path, AudioFormat format, std::int64_t durationMs,
                        const std::vector<Utterance>& conversation, int speaker, std::uint32_t seed) {
    auto file = TRY(AudioFileWriter::create(path, format));
    const std::int64_t rate = format.sampleRate;
    const std::int64_t totalFrames = durationMs * rate / 1000;
    const auto msToFrame = [&](std::int64_t ms) { return ms * rate / 1000; };

    std::vector<const Utterance*> own;
    for (const auto& utterance : conversation)
        if (utterance.speaker == speaker)
            own.push_back(&utterance);

    Random noise{seed * 2654435761U | 1U};
    Random shape{seed * 40503U + 7U};
    float lowPassed = 0.0F;
    size_t next = 0;
    std::int64_t syllableStart = 0;
    std::int64_t syllableEnd = 0;
    float syllableAmplitude = 0.0F;

    std::vector<float> chunk(static_cast<size_t>(rate * format.channels));
    for (std::int64_t frame = 0; frame < totalFrames;) {
        const std::int64_t frames = std::min(rate, totalFrames - frame);
        for (std::int64_t i = 0; i < frames; ++i, ++frame) {
            while (next < own.size() && msToFrame(own[next]->toMs) <= frame)
                ++next;
            float level = 0.0003F;
            if (next < own.size() && msToFrame(own[next]->fromMs) <= frame) {
                if (frame >= syllableEnd) {
                    syllableStart = frame + shape.between(20, 90) * rate / 1000;
                    syllableEnd = std::min(syllableStart + shape.between(90, 260) * rate / 1000,
                                           msToFrame(own[next]->toMs));
                    syllableAmplitude = 0.15F + 0.45F * static_cast<float>(shape.next() % 1000) / 1000.0F;
                }
                if (frame >= syllableStart && syllableEnd > syllableStart) {
                    const float phase = static_cast<float>(frame - syllableStart) /
                                        static_cast<float>(syllableEnd - syllableStart);
                    level += syllableAmplitude * 4.0F * phase * (1.0F - phase);
                }
            }
            // A one-pole low-pass tilts the noise towards the low frequencies where speech sits.
            lowPassed += 0.3F * (noise.bipolar() - lowPassed);
            const float sample = std::clamp(level * lowPassed * 2.0F, -1.0F, 1.0F);
            float* out = chunk.data() + i * format.channels;
            out[0] = sample;
            for (int c = 1; c < format.channels; ++c)
                out[c] = sample * 0.8F;
        }
        TRY(file.write(chunk.data(), frames));
    }
    return {};
}

Result<void> writeMicWithEcho(const std::filesystem::path& path, const std::filesystem::path& own,
                              const std::filesystem::path& system, std::int64_t delayMs, double belowDb) {
    auto ownFile = TRY(AudioFileReader::open(own));
    auto systemFile = TRY(AudioFileReader::open(system));
    const std::int64_t rate = ownFile.sampleRate();
    auto out = TRY(AudioFileWriter::create(path, {static_cast<int>(rate), 1, SampleFormat::int16}));

    // (lag in ms after the direct sound, gain): a small room's first reflections.
    const std::array<std::pair<std::int64_t, double>, 6> reflections = {
        {{0, 1.0}, {3, 0.5}, {11, -0.35}, {23, 0.25}, {41, -0.15}, {60, 0.1}}};
    double energy = 0.0;
    for (const auto& [lag, gain] : reflections)
        energy += gain * gain;
    const double scale = std::pow(10.0, -belowDb / 20.0) / std::sqrt(energy);
    const std::int64_t reach = (delayMs + 60) * rate / 1000;

    std::vector<float> history(static_cast<size_t>(reach), 0.0F), chunk(static_cast<size_t>(rate)),
        mine(static_cast<size_t>(rate));
    while (true) {
        const std::int64_t n = TRY(systemFile.read(chunk.data(), rate));
        const std::int64_t m = TRY(ownFile.read(mine.data(), rate));
        if (n == 0 && m == 0)
            return {};
        const std::int64_t frames = std::max(n, m);
        std::fill(chunk.begin() + n, chunk.end(), 0.0F);
        std::fill(mine.begin() + m, mine.end(), 0.0F);
        history.insert(history.end(), chunk.begin(), chunk.begin() + frames);
        for (std::int64_t i = 0; i < frames; ++i) {
            double echo = 0.0;
            for (const auto& [lag, gain] : reflections)
                echo += gain * history[static_cast<size_t>(reach + i - (delayMs + lag) * rate / 1000)];
            mine[static_cast<size_t>(i)] += static_cast<float>(scale * echo);
        }
        history.erase(history.begin(), history.begin() + frames);
        TRY(out.write(mine.data(), frames));
    }
}

std::string recognisedLines(const std::vector<Utterance>& conversation, int speaker) {
    std::string lines;
    int others = 0;
    for (const auto& utterance : conversation) {
        if (utterance.speaker == speaker) {
            lines += std::to_string(utterance.fromMs) + " " + std::to_string(utterance.toMs) + " " + utterance.text + "\n";
            continue;
        }
        // While the other party speaks this track is near silent: the real recogniser invents
        // text there now and then.
        ++others;
        if (others % 37 == 0)
            lines += std::to_string(utterance.fromMs) + " " + std::to_string(utterance.toMs) + " Спасибо за просмотр!\n";
        else if (others % 23 == 0)
            lines += std::to_string(utterance.fromMs) + " " + std::to_string(utterance.toMs) + " Угу.\n";
        else if (others % 41 == 0)
            lines += std::to_string(utterance.fromMs) + " " + std::to_string(utterance.toMs) + " [Музыка]\n";
    }
    return lines;
}

} // namespace zorvel::bench
