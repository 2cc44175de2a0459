#include "pipeline/StretchRecognition.h"

#include "audio/AudioConverter.h"
#include "audio/AudioFile.h"
#include "pipeline/Transcriber.h"
#include "support/Files.h"

#include <fcntl.h>
#include <limits>

namespace zorvel {

namespace {

constexpr int workRate = 16000;

// Removes the stretch's work files however the recognition ends.
class WorkFiles {
public:
    explicit WorkFiles(std::vector<std::filesystem::path> paths) : m_paths(std::move(paths)) {}
    ~WorkFiles() {
        for (const auto& path : m_paths)
            removeQuietly(path);
    }
    WorkFiles(const WorkFiles&) = delete;
    WorkFiles& operator=(const WorkFiles&) = delete;

private:
    std::vector<std::filesystem::path> m_paths;
};

// Writes the capture's frames [fromFrame, toFrame) to `wav` as 16 kHz mono and returns their checksum.
// Gives up between seconds of audio once `cancel` says so: the recording's stop waits for this.
Result<std::uint64_t> convertRange(const std::filesystem::path& capture, std::int64_t fromFrame, std::int64_t toFrame,
                                   const std::filesystem::path& wav, int& sampleRate, int& channels,
                                   const ChildCancel* cancel) {
    auto reader = TRY(AudioFileReader::open(capture));
    sampleRate = reader.sampleRate();
    channels = reader.channels();
    if (toFrame > reader.length())
        return failure(Error::platform("В записи «" + capture.string() + "» нет кадров до " + std::to_string(toFrame)));
    TRY(reader.seek(fromFrame));
    auto converter = TRY(AudioConverter::create({sampleRate, channels, SampleFormat::float32}, workRate, 1));
    auto writer = TRY(AudioFileWriter::create(wav, {workRate, 1, SampleFormat::int16}));
    constexpr std::int64_t chunkFrames = 48000;
    std::vector<float> buffer(static_cast<std::size_t>(chunkFrames * channels));
    SampleChecksum checksum;
    for (std::int64_t left = toFrame - fromFrame; left > 0;) {
        if (cancel && cancel->cancelled())
            return failure(Error::platform("Распознавание отрезка записи «" + capture.string() + "» отменено"));
        const std::int64_t got = TRY(reader.read(buffer.data(), std::min(left, chunkFrames)));
        if (got <= 0)
            return failure(Error::platform("Запись «" + capture.string() + "» оборвалась раньше, чем ожидалось"));
        checksum.add(buffer.data(), got * channels);
        const auto [samples, frames] = TRY(converter->convert(buffer.data(), SampleType::float32, got));
        TRY(writer.write(samples, frames));
        left -= got;
    }
    const auto [samples, frames] = TRY(converter->flush());
    TRY(writer.write(samples, frames));
    return checksum.value();
}

} // namespace

Result<StoredStretch> recogniseStretch(const std::filesystem::path& recording, const std::string& track,
                                       const std::filesystem::path& capture, std::int64_t fromFrame,
                                       std::int64_t toFrame, const std::filesystem::path& whisper,
                                       RecogniserCommand command, LogFile& log, ChildCancel* cancel) {
    const auto store = TRY(StretchStore::prepare(recording));
    command.wav = store / (track + "-stretch.wav");
    command.outputBase = store / (track + "-stretch");
    const auto json = command.jsonURL();
    const WorkFiles work({command.wav, json});

    StoredStretch stretch;
    stretch.fromFrame = fromFrame;
    stretch.toFrame = toFrame;
    stretch.recogniser = RecogniserSettings::of(command);
    int sampleRate = 0;
    int channels = 0;
    stretch.checksum = TRY(convertRange(capture, fromFrame, toFrame, command.wav, sampleRate, channels, cancel));

    // The recogniser writes into a file made here, never through a link; an empty file afterwards
    // means it wrote nothing.
    TRY(createFileReplacing(json, O_WRONLY, "Не удалось создать"));
    TRY(Transcriber::runProcess(whisper, command.arguments(), log, {}, cancel));
    const std::string raw = TRY(readWholeFile(json));
    if (raw.empty())
        return failure(Error::platform(whisper.filename().string() + " не создал файл «" + json.string() +
                                       "». Подробности в whisper.log в папке записи."));
    auto segments = decodeWhisperSegments(repairWhisperJson(raw));
    if (!segments)
        return failure(Error::platform("Не удалось разобрать ответ распознавателя «" + json.string() +
                                       "»: " + segments.error().description())
                           .causedBy(segments.error()));
    // Exact for stretches that begin on a whole millisecond, as the planner's 10 ms windows do.
    const std::int64_t offsetMs = fromFrame * 1000 / sampleRate;
    const auto shifted = [offsetMs](std::int64_t ms) {
        return ms > std::numeric_limits<std::int64_t>::max() - offsetMs ? std::numeric_limits<std::int64_t>::max()
                                                                          : ms + offsetMs;
    };
    for (auto& segment : *segments) {
        segment.from = shifted(segment.from);
        segment.to = shifted(segment.to);
    }
    stretch.segments = std::move(*segments);
    return stretch;
}

} // namespace zorvel
