#pragma once

#include "support/Error.h"
#include "support/FileDescriptor.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string_view>

namespace zorvel {

// The hidden file beside a download's target that the body is streamed into,
// ".<target name>.part-<process id>-<n>". It is removed when dropped, unless commit() has renamed
// it over the target. Used by one thread at a time: the download writes it on the main thread and
// hands it to a worker thread for the check and the commit.
class PartFile {
public:
    // Creates the target's folder (with missing parents) and a new part file in it.
    static Result<std::unique_ptr<PartFile>> create(const std::filesystem::path& target);

    // Removes the part files that killed downloads left beside `target` (each up to the whole size
    // of the target); a file whose process still runs is another download's and stays.
    static void removeAbandoned(const std::filesystem::path& target);

    ~PartFile();
    PartFile(const PartFile&) = delete;
    PartFile& operator=(const PartFile&) = delete;

    Result<void> write(std::string_view bytes);
    [[nodiscard]] std::uint64_t size() const { return m_size; }
    // Where the data is until the commit, for checking what arrived.
    [[nodiscard]] const std::filesystem::path& path() const { return m_file.path(); }

    // Makes the data durable before the rename, so that after a crash the target is either the old
    // file or the whole new one.
    Result<void> commit();

private:
    PartFile(FileDescriptor file, std::filesystem::path target) : m_file(std::move(file)), m_target(std::move(target)) {}

    FileDescriptor m_file;
    std::filesystem::path m_target;
    std::uint64_t m_size = 0;
    bool m_committed = false;
};

} // namespace zorvel
