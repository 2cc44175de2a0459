#pragma once

#include "support/Error.h"
#include "support/FileDescriptor.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

struct sf_private_tag;

namespace zorvel {

enum class SampleFormat { float32, int16, int24, int32, uint8 };

struct AudioFormat {
    int sampleRate = 0;
    int channels = 0;
    SampleFormat sampleFormat = SampleFormat::float32;

    bool operator==(const AudioFormat&) const = default;
};

namespace detail {
struct SndfileCloser {
    void operator()(sf_private_tag* file) const;
};
using SndfileHandle = std::unique_ptr<sf_private_tag, SndfileCloser>;
} // namespace detail

// An audio file opened for reading. Samples are delivered as 32-bit floats with full scale 1.0
// (a 16-bit sample s reads as s / 32768), frames interleaved, at the file's own rate and
// channel count. Exists only when opening succeeded. Files are opened by us and handed to
// libsndfile as descriptors (it would otherwise refuse paths of 1024 bytes or more, and open
// without O_CLOEXEC).
class AudioFileReader {
public:
    static Result<AudioFileReader> open(const std::filesystem::path& path);
    AudioFileReader(AudioFileReader&&) noexcept = default;
    // Replacing a reader would close its descriptor before libsndfile is done with it.
    AudioFileReader& operator=(AudioFileReader&&) = delete;

    int sampleRate() const { return m_sampleRate; }
    int channels() const { return m_channels; }
    // Length in frames.
    std::int64_t length() const { return m_length; }
    std::int64_t framePosition() const { return m_position; }

    // Reads at most `frames` frames from the current position into `interleaved` (room for
    // frames × channels floats) and returns the number of frames delivered.
    Result<std::int64_t> read(float* interleaved, std::int64_t frames);

    // Goes to frame `frame` (at most the length) for the next read.
    Result<void> seek(std::int64_t frame);

private:
    AudioFileReader(FileDescriptor descriptor, detail::SndfileHandle file, std::filesystem::path path,
                    int sampleRate, int channels, std::int64_t length, bool storesInt16)
        : m_descriptor(std::move(descriptor)), m_file(std::move(file)), m_path(std::move(path)),
          m_sampleRate(sampleRate), m_channels(channels), m_length(length), m_storesInt16(storesInt16) {}

    FileDescriptor m_descriptor; // outlives m_file, which reads through it
    detail::SndfileHandle m_file;
    std::filesystem::path m_path;
    int m_sampleRate;
    int m_channels;
    std::int64_t m_length;
    std::int64_t m_position = 0;
    // 16-bit files are read as integers and converted here: libsndfile's own conversion to float
    // costs several times the read itself.
    bool m_storesInt16;
    std::vector<std::int16_t> m_int16Buffer;
};

// Whether the header is brought up to date after every write. Capture files need it: a file
// whose writer was killed otherwise reads as empty.
enum class HeaderUpdate { onClose, afterEveryWrite };

// An audio file opened for writing; the container follows the extension (".caf", ".wav"), the
// stored samples follow `format`. Samples handed over are converted to the stored format, with
// clipping, so that a 16-bit file read as float and written back is bit-exact. The file is
// completed when the writer is destroyed. Whatever was at the path before is replaced by a new
// file, created exclusively and never through a link.
class AudioFileWriter {
public:
    static Result<AudioFileWriter> create(const std::filesystem::path& path, AudioFormat format,
                                          HeaderUpdate headerUpdate = HeaderUpdate::onClose);
    AudioFileWriter(AudioFileWriter&&) noexcept = default;
    // Replacing a writer would close its descriptor before libsndfile has completed the file.
    AudioFileWriter& operator=(AudioFileWriter&&) = delete;

    const AudioFormat& format() const { return m_format; }
    std::int64_t framesWritten() const { return m_framesWritten; }

    // Appends `frames` interleaved frames.
    Result<void> write(const float* interleaved, std::int64_t frames);
    Result<void> write(const std::int16_t* interleaved, std::int64_t frames);
    Result<void> write(const std::int32_t* interleaved, std::int64_t frames);
    // Appends frames of silence.
    Result<void> writeSilence(std::int64_t frames);

private:
    AudioFileWriter(FileDescriptor descriptor, detail::SndfileHandle file, std::filesystem::path path,
                    AudioFormat format)
        : m_descriptor(std::move(descriptor)), m_file(std::move(file)), m_path(std::move(path)), m_format(format) {}
    Result<void> checkWritten(std::int64_t written, std::int64_t frames);

    FileDescriptor m_descriptor; // outlives m_file, which writes through it
    detail::SndfileHandle m_file;
    std::filesystem::path m_path;
    AudioFormat m_format;
    std::int64_t m_framesWritten = 0;
    // Floats for a 16-bit file are converted here: libsndfile's own clipping conversion costs
    // more than the rest of a mixdown.
    std::vector<std::int16_t> m_int16Buffer;
};

} // namespace zorvel
