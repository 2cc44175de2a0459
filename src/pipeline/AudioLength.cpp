#include "pipeline/AudioLength.h"

#include "audio/AudioFile.h"
#include "support/NumberText.h"

namespace zorvel::AudioLength {

std::optional<std::int64_t> framesAt16k(const std::filesystem::path& audio) {
    const auto reader = AudioFileReader::open(audio);
    if (!reader || reader->sampleRate() <= 0)
        return std::nullopt;
    return reader->length() * 16000 / reader->sampleRate();
}

std::string secondsText(std::int64_t framesAt16k) { return fixedText(static_cast<double>(framesAt16k) / 16000.0, 1); }

} // namespace zorvel::AudioLength
