#pragma once

#include "pipeline/RecogniserCommand.h"
#include "pipeline/WhisperJson.h"
#include "support/Error.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace zorvel {

// What a stretch was recognised with, as far as it decides the recogniser's output: the
// language, the model file (by path, size and modification time, so that a model downloaded
// again counts as a different one) and the voice-activity model. The thread count is kept for the
// record; it does not change what is recognised.
struct RecogniserSettings {
    std::string language;
    std::string model;
    std::int64_t modelBytes = -1;
    std::int64_t modelModified = -1; // nanoseconds since the epoch
    std::string vadModel;            // empty without one
    int threads = 0;

    static RecogniserSettings of(const RecogniserCommand& command);
    bool matches(const RecogniserSettings& other) const;
};

// One recognised stretch of a capture: frames [fromFrame, toFrame) of the capture file, a
// checksum of those samples, and the recogniser's segments as written, in milliseconds from the
// track's start.
struct StoredStretch {
    std::int64_t fromFrame = 0;
    std::int64_t toFrame = 0;
    std::uint64_t checksum = 0;
    RecogniserSettings recogniser;
    std::vector<WhisperSegment> segments;
};

// The stretches of one capture, in order, with the capture's rate and channel count.
struct StretchRecord {
    int sampleRate = 0;
    int channels = 0;
    std::vector<StoredStretch> stretches;
};

// A running checksum of samples, to tell later whether a capture still holds what was recognised.
class SampleChecksum {
public:
    void add(const float* samples, std::int64_t count);
    std::uint64_t value() const { return m_hash; }

private:
    std::uint64_t m_hash = 14695981039346656037ULL;
};

// Results of recognising stretches, kept in the hidden folder ".zorvel-stretches" of the
// recording so that they survive a crash or a quit: one file per track ("mic.json",
// "system.json"), written atomically and flushed to the disk, never through a link. The writer
// holds the recording folder's lock (a recording or a transcription).
namespace StretchStore {

std::filesystem::path folderOf(const std::filesystem::path& recording);

// The store's folder, made when missing. Whatever else is under its name (a planted link, a
// file) is removed first, so that nothing is ever written through it.
Result<std::filesystem::path> prepare(const std::filesystem::path& recording);

Result<void> save(const std::filesystem::path& recording, const std::string& track, const StretchRecord& record);

// The stored record of a track as it is, unchecked; an empty one when there is none, or when
// it can't be read or understood (it is then recognised afresh).
StretchRecord load(const std::filesystem::path& recording, const std::string& track);

// The stored stretches that can stand for recognising the capture now: from its start, one after
// the other without a gap, recognised with settings that match `recogniser`, of a capture with the
// stored rate and channels that still holds those very samples (read back and compared).
std::vector<StoredStretch> reusable(const std::filesystem::path& recording, const std::string& track,
                                    const std::filesystem::path& capture, const RecogniserSettings& recogniser);

// The store and everything in it; never fails, never follows a link.
void remove(const std::filesystem::path& recording);

} // namespace StretchStore
} // namespace zorvel
