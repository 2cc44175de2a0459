#include "pipeline/StretchStore.h"

#include "audio/AudioFile.h"
#include "support/FileDescriptor.h"
#include "support/Files.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>

namespace zorvel {

namespace {

constexpr int storeVersion = 1;
constexpr const char* storeName = ".zorvel-stretches";

std::filesystem::path recordPath(const std::filesystem::path& recording, const std::string& track) {
    return StretchStore::folderOf(recording) / (track + ".json");
}

nlohmann::json toJson(const RecogniserSettings& settings) {
    return {{"language", settings.language},     {"model", settings.model},
            {"modelBytes", settings.modelBytes}, {"modelModified", settings.modelModified},
            {"vadModel", settings.vadModel},     {"threads", settings.threads}};
}

RecogniserSettings settingsFrom(const nlohmann::json& json) {
    RecogniserSettings settings;
    settings.language = json.at("language").get<std::string>();
    settings.model = json.at("model").get<std::string>();
    settings.modelBytes = json.at("modelBytes").get<std::int64_t>();
    settings.modelModified = json.at("modelModified").get<std::int64_t>();
    settings.vadModel = json.at("vadModel").get<std::string>();
    settings.threads = json.at("threads").get<int>();
    return settings;
}

// Whether the capture still holds, in [fromFrame, toFrame), the samples with this checksum.
bool holdsSamples(AudioFileReader& capture, const StoredStretch& stretch, std::vector<float>& buffer) {
    if (stretch.toFrame > capture.length() || !capture.seek(stretch.fromFrame))
        return false;
    constexpr std::int64_t chunkFrames = 65536;
    buffer.resize(static_cast<std::size_t>(chunkFrames * capture.channels()));
    SampleChecksum checksum;
    for (std::int64_t left = stretch.toFrame - stretch.fromFrame; left > 0;) {
        const auto got = capture.read(buffer.data(), std::min(left, chunkFrames));
        if (!got || *got <= 0)
            return false;
        checksum.add(buffer.data(), *got * capture.channels());
        left -= *got;
    }
    return checksum.value() == stretch.checksum;
}

} // namespace

RecogniserSettings RecogniserSettings::of(const RecogniserCommand& command) {
    RecogniserSettings settings;
    settings.language = command.language;
    settings.model = command.model.string();
    if (struct stat status {}; ::stat(command.model.c_str(), &status) == 0) {
        settings.modelBytes = status.st_size;
        settings.modelModified = status.st_mtim.tv_sec * 1000000000LL + status.st_mtim.tv_nsec;
    }
    settings.vadModel = command.vadModel ? command.vadModel->string() : std::string();
    settings.threads = command.threads;
    return settings;
}

bool RecogniserSettings::matches(const RecogniserSettings& other) const {
    return language == other.language && model == other.model && modelBytes == other.modelBytes &&
           modelModified == other.modelModified && vadModel == other.vadModel;
}

void SampleChecksum::add(const float* samples, std::int64_t count) {
    // FNV-1a over the samples' bit patterns, a 32-bit word at a time.
    for (std::int64_t i = 0; i < count; ++i) {
        std::uint32_t bits = 0;
        std::memcpy(&bits, samples + i, sizeof bits);
        m_hash = (m_hash ^ bits) * 1099511628211ULL;
    }
}

namespace StretchStore {

std::filesystem::path folderOf(const std::filesystem::path& recording) { return recording / storeName; }

Result<std::filesystem::path> prepare(const std::filesystem::path& recording) {
    auto folder = folderOf(recording);
    struct stat status {};
    if (::lstat(folder.c_str(), &status) == 0) {
        if (S_ISDIR(status.st_mode))
            return folder;
        TRY(removeFile(folder, "Не удалось удалить"));
    }
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return failure(Error::fromErrno("Не удалось создать папку", folder, errno));
    if (::lstat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode))
        return failure(Error::fromErrno("Не удалось создать папку", folder, ENOTDIR));
    return folder;
}

Result<void> save(const std::filesystem::path& recording, const std::string& track, const StretchRecord& record) {
    TRY(prepare(recording));
    nlohmann::json stretches = nlohmann::json::array();
    for (const auto& stretch : record.stretches) {
        nlohmann::json segments = nlohmann::json::array();
        for (const auto& segment : stretch.segments)
            segments.push_back({{"from", segment.from}, {"to", segment.to}, {"text", segment.text}});
        stretches.push_back({{"fromFrame", stretch.fromFrame},
                             {"toFrame", stretch.toFrame},
                             {"checksum", stretch.checksum},
                             {"recogniser", toJson(stretch.recogniser)},
                             {"segments", std::move(segments)}});
    }
    const nlohmann::json document = {{"version", storeVersion},
                                     {"sampleRate", record.sampleRate},
                                     {"channels", record.channels},
                                     {"stretches", std::move(stretches)}};
    // Texts come from the repaired recogniser output, but a stray invalid byte must not lose the record.
    return writeFileAtomically(recordPath(recording, track),
                               document.dump(1, '\t', false, nlohmann::json::error_handler_t::replace) + "\n");
}

StretchRecord load(const std::filesystem::path& recording, const std::string& track) {
    struct stat status {};
    if (::lstat(folderOf(recording).c_str(), &status) != 0 || !S_ISDIR(status.st_mode))
        return {};
    auto file = FileDescriptor::open(recordPath(recording, track), O_RDONLY | O_NOFOLLOW, "Не удалось прочитать");
    if (!file)
        return {};
    std::string text;
    std::vector<char> chunk(1 << 16);
    for (ssize_t got = 0; (got = ::read(file->get(), chunk.data(), chunk.size())) != 0;) {
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return {};
        text.append(chunk.data(), static_cast<std::size_t>(got));
    }
    try {
        const auto document = nlohmann::json::parse(text);
        if (document.at("version").get<int>() != storeVersion)
            return {};
        StretchRecord record;
        record.sampleRate = document.at("sampleRate").get<int>();
        record.channels = document.at("channels").get<int>();
        for (const auto& item : document.at("stretches")) {
            StoredStretch stretch;
            stretch.fromFrame = item.at("fromFrame").get<std::int64_t>();
            stretch.toFrame = item.at("toFrame").get<std::int64_t>();
            stretch.checksum = item.at("checksum").get<std::uint64_t>();
            stretch.recogniser = settingsFrom(item.at("recogniser"));
            for (const auto& segment : item.at("segments"))
                stretch.segments.push_back({segment.at("from").get<std::int64_t>(), segment.at("to").get<std::int64_t>(),
                                            segment.at("text").get<std::string>()});
            record.stretches.push_back(std::move(stretch));
        }
        return record;
    } catch (const nlohmann::json::exception&) {
        return {};
    }
}

std::vector<StoredStretch> reusable(const std::filesystem::path& recording, const std::string& track,
                                    const std::filesystem::path& capture, const RecogniserSettings& recogniser) {
    StretchRecord record = load(recording, track);
    if (record.stretches.empty())
        return {};
    auto reader = AudioFileReader::open(capture);
    if (!reader || reader->sampleRate() != record.sampleRate || reader->channels() != record.channels)
        return {};
    std::vector<StoredStretch> kept;
    std::vector<float> buffer;
    std::int64_t next = 0;
    for (auto& stretch : record.stretches) {
        if (stretch.fromFrame != next || stretch.toFrame <= stretch.fromFrame || !stretch.recogniser.matches(recogniser) ||
            !holdsSamples(*reader, stretch, buffer))
            break;
        next = stretch.toFrame;
        kept.push_back(std::move(stretch));
    }
    return kept;
}

void remove(const std::filesystem::path& recording) {
    std::error_code ignored;
    // remove_all deletes links themselves, never what they point to.
    std::filesystem::remove_all(folderOf(recording), ignored);
}

} // namespace StretchStore
} // namespace zorvel
