#include "pipeline/Transcriber.h"

#include "pipeline/AudioLength.h"
#include "pipeline/Converter.h"
#include "pipeline/Mixdown.h"
#include "pipeline/WriteFailure.h"
#include "support/ChildProcess.h"
#include "support/Files.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace zorvel {

namespace {

// Written, flushed and in place before the first capture is deleted: "audio.m4a" and its size,
// then the names still to delete, one a line. A run killed during the deletions leaves it behind,
// and the next run finishes them (finishInterruptedTidyUp), so no capture is ever the only one
// left to be mixed again on its own.
constexpr const char* journalName = ".zorvel-tidy";
// The encoder writes here; only a file that has been proven whole becomes "audio.m4a".
constexpr const char* encodingName = ".audio.m4a.part";

// The longest capture in frames at 16 kHz: what "audio.m4a" must hold.
std::optional<std::int64_t> longestCapture(const std::vector<std::filesystem::path>& sources) {
    std::optional<std::int64_t> longest;
    for (const auto& source : sources) {
        const auto frames = AudioLength::framesAt16k(source);
        if (!frames)
            return std::nullopt;
        longest = std::max(longest.value_or(0), *frames);
    }
    return longest;
}

std::string keepingTheSources(const std::string& why) { return why + " — исходники оставлены на месте"; }

// How many frames the converter decodes from the file behind `descriptor`, or why it can't.
Result<std::int64_t> decodedFrames(int descriptor, LogFile& log) {
    const auto command = Converter::decodeCommand(passedDescriptorPath(0));
    if (!command)
        return failure(Error::platform("проверить audio.m4a нечем: не найден ffmpeg"));
    std::int64_t bytes = 0;
    ChildStreams streams{ChildOutput::toDescriptor, log.descriptor(), {}, {descriptor}};
    streams.readStandardOutput = [&bytes](std::string_view piece) { bytes += static_cast<std::int64_t>(piece.size()); };
    const auto outcome = TRY(runChildProcess(command->executable, command->arguments, streams));
    if (!outcome.succeeded())
        return failure(Error::platform("audio.m4a не читается до конца"));
    return bytes / 2;
}

// Mixes, encodes and proves "audio.m4a". Returns why the sources must stay, or nothing.
std::optional<std::string> makeCompressedAudio(const std::filesystem::path& folder,
                                               const std::vector<std::filesystem::path>& sources,
                                               const std::vector<std::filesystem::path>& workWAVs, LogFile& log) {
    const auto expected = longestCapture(sources);
    if (!expected)
        return keepingTheSources("Длительность исходников узнать не вышло");

    const auto mixdown = folder / "mixdown.wav";
    if (auto mixed = Mixdown::mix(workWAVs, mixdown); !mixed) {
        removeQuietly(mixdown);
        return keepingTheSources(writeFailureReason(mixed.error(), folder, "mixdown.wav"));
    }
    const auto converter = Converter::find();
    const auto encoding = folder / encodingName;
    auto output = createFileReplacing(encoding, O_RDWR, "Не удалось создать");
    if (!converter || !output) {
        removeQuietly(mixdown);
        const Error& error = !converter ? converter.error() : output.error();
        return keepingTheSources(writeFailureReason(error, folder, "audio.m4a"));
    }
    const auto command = Converter::aacCommand(*converter, mixdown.string(), passedDescriptorPath(0));
    const auto encoded = Transcriber::runProcess(command.executable, command.arguments, log, {output->get()});
    removeQuietly(mixdown);

    // ffmpeg exits 0 also when it could not write the end of the file, so only a file that decodes
    // from start to end with the captures' length counts, and only once it is on the disk.
    std::optional<std::string> why;
    if (!encoded) {
        why = writeFailureReason(encoded.error(), folder, "audio.m4a");
    } else if (auto synced = output->sync("Не удалось записать"); !synced) {
        why = writeFailureReason(synced.error(), folder, "audio.m4a");
    } else if (const auto decoded = decodedFrames(output->get(), log); !decoded) {
        why = writeFailureReason(decoded.error(), folder, "audio.m4a");
    } else if (!AudioLength::isWholeAAC(*decoded, *expected)) {
        why = "audio.m4a длится " + AudioLength::secondsText(*decoded) + " с, а запись " +
              AudioLength::secondsText(*expected) + " с";
    } else if (::rename(encoding.c_str(), (folder / "audio.m4a").c_str()) != 0) {
        why = Error::fromErrno("Не удалось переименовать", encoding, errno).description();
    } else if (auto durable = syncFolder(folder); !durable) {
        return keepingTheSources(durable.error().description());
    }
    if (why) {
        removeQuietly(encoding);
        return keepingTheSources(*why);
    }
    return std::nullopt;
}

} // namespace

void Transcriber::tidyUp(const std::filesystem::path& folder, const std::vector<std::filesystem::path>& sources,
                         const std::vector<std::filesystem::path>& workWAVs,
                         const std::vector<std::filesystem::path>& intermediates, LogFile& log) {
    const bool remixingExistingAudio = sources.size() == 1 && sources.front().filename() == "audio.m4a";
    std::vector<std::filesystem::path> deletions;
    if (!remixingExistingAudio && !workWAVs.empty()) {
        if (const auto why = makeCompressedAudio(folder, sources, workWAVs, log)) {
            log.line(*why);
            return;
        }
        deletions = sources;
    }
    deletions.insert(deletions.end(), intermediates.begin(), intermediates.end());

    std::error_code ignored;
    std::string journal = "audio.m4a " + std::to_string(std::filesystem::file_size(folder / "audio.m4a", ignored)) + "\n";
    for (const auto& deletion : deletions)
        journal += deletion.filename().string() + "\n";
    if (auto written = writeFileAtomically(folder / journalName, journal, TemporaryName::fixed); !written) {
        log.line(keepingTheSources(writeFailureReason(written.error(), folder, journalName)));
        return;
    }
    // The log is one of the deletions.
    log.close();
    for (const auto& deletion : deletions)
        removeQuietly(deletion);
    (void)syncFolder(folder);
    removeQuietly(folder / journalName);
}

bool Transcriber::finishInterruptedTidyUp(const std::filesystem::path& folder) {
    const auto journalPath = folder / journalName;
    struct stat status {};
    if (::lstat(journalPath.c_str(), &status) != 0)
        return false;
    // Only a file of ours counts; a link or anything else planted under its name just goes.
    const auto text = S_ISREG(status.st_mode) ? readWholeFile(journalPath) : Result<std::string>(std::string());
    std::istringstream lines(text.value_or(std::string()));
    std::string audio;
    std::uintmax_t size = 0;
    lines >> audio >> size;
    std::error_code error;
    const bool valid = text && audio == "audio.m4a" && std::filesystem::file_size(folder / "audio.m4a", error) == size &&
                       !error && std::filesystem::is_regular_file(std::filesystem::symlink_status(folder / "audio.m4a"));
    if (valid) {
        std::string name;
        std::getline(lines, name);
        while (std::getline(lines, name)) {
            // Only plain names of this folder, and never what the tidy-up keeps.
            if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
                name == "audio.m4a" || name == "transcript.md")
                continue;
            removeQuietly(folder / name);
        }
        (void)syncFolder(folder);
    }
    removeQuietly(journalPath);
    return valid && fileExists(folder / "transcript.md");
}

} // namespace zorvel
