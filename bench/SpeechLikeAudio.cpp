#include "SpeechLikeAudio.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <soxr.h>

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
                              const std::filesystem::path& system, std::int64_t delayMs, double belowDb,
                              double driftPpm) {
    auto ownFile = TRY(AudioFileReader::open(own));
    auto systemFile = TRY(AudioFileReader::open(system));
    const std::int64_t rate = ownFile.sampleRate();
    auto out = TRY(AudioFileWriter::create(path, {static_cast<int>(rate), 1, SampleFormat::int16}));
    soxr_error_t error = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, SOXR_HI_PREC_CLOCK);
    const std::unique_ptr<soxr, void (*)(soxr*)> clock(
        soxr_create(static_cast<double>(rate), static_cast<double>(rate) * (1.0 + driftPpm * 1e-6), 1, &error,
                    &io, &quality, nullptr),
        [](soxr* resampler) { soxr_delete(resampler); });
    if (!clock)
        return failure(Error::platform("soxr_create failed"));

    // (lag in ms after the direct sound, gain): a small room's first reflections.
    const std::array<std::pair<std::int64_t, double>, 6> reflections = {
        {{0, 1.0}, {3, 0.5}, {11, -0.35}, {23, 0.25}, {41, -0.15}, {60, 0.1}}};
    double energy = 0.0;
    for (const auto& [lag, gain] : reflections)
        energy += gain * gain;
    const double scale = std::pow(10.0, -belowDb / 20.0) / std::sqrt(energy);
    const std::int64_t reach = (delayMs + 60) * rate / 1000;

    // The system track on the microphone's clock, with the reach of the room before it.
    std::vector<float> heard(static_cast<size_t>(reach), 0.0F);
    std::vector<float> chunk(static_cast<size_t>(rate)), mine(static_cast<size_t>(rate)),
        stretched(static_cast<size_t>(2 * rate));
    bool systemEnded = false;
    while (true) {
        const std::int64_t m = TRY(ownFile.read(mine.data(), rate));
        if (m == 0)
            return {};
        while (static_cast<std::int64_t>(heard.size()) < reach + m) {
            std::int64_t n = 0;
            if (!systemEnded) {
                n = TRY(systemFile.read(chunk.data(), rate));
                systemEnded = n == 0;
            }
            if (n == 0) {
                std::fill(chunk.begin(), chunk.end(), 0.0F);
                n = rate;
            }
            size_t used = 0, made = 0;
            soxr_process(clock.get(), chunk.data(), static_cast<size_t>(n), &used, stretched.data(),
                         stretched.size(), &made);
            heard.insert(heard.end(), stretched.begin(),
                         stretched.begin() + static_cast<std::ptrdiff_t>(made));
        }
        for (std::int64_t i = 0; i < m; ++i) {
            double echo = 0.0;
            for (const auto& [lag, gain] : reflections)
                echo += gain * heard[static_cast<size_t>(reach + i - (delayMs + lag) * rate / 1000)];
            mine[static_cast<size_t>(i)] += static_cast<float>(scale * echo);
        }
        heard.erase(heard.begin(), heard.begin() + m);
        TRY(out.write(mine.data(), m));
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
