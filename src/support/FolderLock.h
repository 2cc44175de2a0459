#pragma once

#include "support/Error.h"
#include "support/FileDescriptor.h"

#include <filesystem>

namespace zorvel {

// One run per folder. A recording and a transcription each hold an exclusive flock(2) on the file
// ".zorvel.lock" in the recording folder for as long as they work there, so that a transcription
// never reads a capture that is still being written, and two transcriptions never share the work
// files. Anyone may ask without waiting whether a folder is taken (isFolderLocked).
//
// The file exists only while the lock is held: releasing removes it before unlocking, so a tidied
// folder holds nothing of it. A process killed while holding the lock leaves the file behind, but
// no lock: the kernel drops it, and the next holder takes the same file.
//
// Threads: a lock belongs to the process, not to a thread; taking it twice in one process (two
// objects) fails like a second process would.

// The lock file's name inside a recording folder.
inline constexpr const char* folderLockFileName = ".zorvel.lock";

class FolderLock {
public:
    // Takes the lock without waiting (beyond stepping over a brief probe by isFolderLocked). Fails
    // with a message that names the folder when someone else holds it, and with the file system's
    // error when the folder can't be used.
    static Result<FolderLock> acquire(const std::filesystem::path& folder);

    FolderLock(FolderLock&& other) noexcept = default;
    FolderLock& operator=(FolderLock&& other) noexcept;
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    ~FolderLock() { release(); }

    // Removes the lock file and unlocks; nothing once released.
    void release();

private:
    explicit FolderLock(FileDescriptor file) : m_file(std::move(file)) {}

    FileDescriptor m_file;
};

// Whether another holder has the folder's lock right now. Probes with a non-blocking shared lock
// that is released at once; a folder without the lock file, or whose lock file cannot be opened,
// is not locked. Never creates anything in the folder.
bool isFolderLocked(const std::filesystem::path& folder);

} // namespace zorvel
