#include "audio/AudioFile.h"

#include "audio/SampleConversion.h"
#include "support/Files.h"

#include <fcntl.h>
#include <sndfile.h>
#include <vector>

namespace zorvel {

void detail::SndfileCloser::operator()(sf_private_tag* file) const { sf_close(file); }

namespace {

Error sndfileError(std::string_view action, const std::filesystem::path& path, SNDFILE* file) {
    const std::string words = sf_strerror(file);
    return Error::platform(std::string(action) + " «" + path.string() + "»: " + words, ErrorSource::sndfile,
                           sf_error(file), words);
}

int containerFor(const std::filesystem::path& path) {
    const std::string extension = path.extension().string();
    if (extension == ".wav" || extension == ".WAV")
        return SF_FORMAT_WAV;
    if (extension == ".caf" || extension == ".CAF")
        return SF_FORMAT_CAF;
    return 0;
}

int subtypeFor(SampleFormat format) {
    switch (format) {
    case SampleFormat::float32:
        return SF_FORMAT_FLOAT;
    case SampleFormat::int16:
        return SF_FORMAT_PCM_16;
    case SampleFormat::int24:
        return SF_FORMAT_PCM_24;
    case SampleFormat::int32:
        return SF_FORMAT_PCM_32;
    case SampleFormat::uint8:
        return SF_FORMAT_PCM_U8;
    }
    return 0;
}

} // namespace

Result<AudioFileReader> AudioFileReader::open(const std::filesystem::path& path) {
    auto descriptor = TRY(FileDescriptor::open(path, O_RDONLY, "Не удалось открыть аудиофайл"));
    SF_INFO info{};
    detail::SndfileHandle file(sf_open_fd(descriptor.get(), SFM_READ, &info, SF_FALSE));
    if (!file)
        return failure(sndfileError("Не удалось открыть аудиофайл", path, nullptr));
    const bool storesInt16 = (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16;
    return AudioFileReader(std::move(descriptor), std::move(file), path, info.samplerate, info.channels, info.frames,
                           storesInt16);
}

Result<std::int64_t> AudioFileReader::read(float* interleaved, std::int64_t frames) {
    sf_count_t got = 0;
    if (m_storesInt16 && frames > 0 && m_channels > 0) {
        const auto samples = static_cast<size_t>(frames) * static_cast<size_t>(m_channels);
        if (m_int16Buffer.size() < samples)
            m_int16Buffer.resize(samples);
        got = sf_readf_short(m_file.get(), m_int16Buffer.data(), frames);
        if (got > 0)
            int16ToFloat(m_int16Buffer.data(), interleaved, static_cast<size_t>(got) * static_cast<size_t>(m_channels));
    } else {
        got = sf_readf_float(m_file.get(), interleaved, frames);
    }
    if (got < 0 || (got < frames && sf_error(m_file.get()) != SF_ERR_NO_ERROR))
        return failure(sndfileError("Не удалось прочитать аудиофайл", m_path, m_file.get()));
    m_position += got;
    return static_cast<std::int64_t>(got);
}

Result<void> AudioFileReader::seek(std::int64_t frame) {
    const sf_count_t at = sf_seek(m_file.get(), frame, SEEK_SET);
    if (at < 0)
        return failure(sndfileError("Не удалось прочитать аудиофайл", m_path, m_file.get()));
    m_position = at;
    return {};
}

Result<AudioFileWriter> AudioFileWriter::create(const std::filesystem::path& path, AudioFormat format,
                                                HeaderUpdate headerUpdate) {
    const int container = containerFor(path);
    if (container == 0)
        return failure(Error::platform("Неизвестный тип аудиофайла «" + path.string() + "»"));
    SF_INFO info{};
    info.samplerate = format.sampleRate;
    info.channels = format.channels;
    info.format = container | subtypeFor(format.sampleFormat);
    if (format.sampleFormat == SampleFormat::uint8 && container == SF_FORMAT_CAF)
        info.format = container | SF_FORMAT_PCM_S8; // CAF stores 8-bit samples signed
    if (!sf_format_check(&info))
        return failure(Error::platform("Формат не поддерживается для «" + path.string() + "»"));
    auto descriptor = TRY(createFileReplacing(path, O_RDWR, "Не удалось создать аудиофайл"));
    detail::SndfileHandle file(sf_open_fd(descriptor.get(), SFM_WRITE, &info, SF_FALSE));
    if (!file)
        return failure(sndfileError("Не удалось создать аудиофайл", path, nullptr));
    // Without clipping, libsndfile wraps out-of-range floats around when it writes integers.
    sf_command(file.get(), SFC_SET_CLIPPING, nullptr, SF_TRUE);
    if (headerUpdate == HeaderUpdate::afterEveryWrite)
        sf_command(file.get(), SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
    return AudioFileWriter(std::move(descriptor), std::move(file), path, format);
}

Result<void> AudioFileWriter::checkWritten(std::int64_t written, std::int64_t frames) {
    if (written > 0)
        m_framesWritten += written;
    if (written != frames)
        return failure(sndfileError("Не удалось записать аудиофайл", m_path, m_file.get()));
    return {};
}

Result<void> AudioFileWriter::write(const float* interleaved, std::int64_t frames) {
    if (m_format.sampleFormat != SampleFormat::int16 || frames <= 0 || m_format.channels <= 0)
        return checkWritten(sf_writef_float(m_file.get(), interleaved, frames), frames);
    const auto samples = static_cast<size_t>(frames) * static_cast<size_t>(m_format.channels);
    if (m_int16Buffer.size() < samples)
        m_int16Buffer.resize(samples);
    floatToInt16(interleaved, m_int16Buffer.data(), samples);
    return checkWritten(sf_writef_short(m_file.get(), m_int16Buffer.data(), frames), frames);
}

Result<void> AudioFileWriter::write(const std::int16_t* interleaved, std::int64_t frames) {
    return checkWritten(sf_writef_short(m_file.get(), interleaved, frames), frames);
}

Result<void> AudioFileWriter::write(const std::int32_t* interleaved, std::int64_t frames) {
    return checkWritten(sf_writef_int(m_file.get(), interleaved, frames), frames);
}

Result<void> AudioFileWriter::writeSilence(std::int64_t frames) {
    constexpr std::int64_t chunk = 4096;
    const std::vector<float> zeros(static_cast<size_t>(chunk * m_format.channels), 0.0F);
    while (frames > 0) {
        const std::int64_t now = std::min(frames, chunk);
        TRY(write(zeros.data(), now));
        frames -= now;
    }
    return {};
}

} // namespace zorvel
