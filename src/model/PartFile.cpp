#include "model/PartFile.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <system_error>
#include <unistd.h>

namespace zorvel {

namespace {

std::string partPrefix(const std::filesystem::path& target) { return "." + target.filename().string() + ".part-"; }

} // namespace

Result<std::unique_ptr<PartFile>> PartFile::create(const std::filesystem::path& target) {
    const auto folder = target.parent_path();
    std::error_code created;
    std::filesystem::create_directories(folder, created);
    if (created)
        return failure(Error::fromErrno("Не удалось создать папку", folder, created.value()));

    static std::atomic<unsigned> counter{0};
    for (;;) {
        const auto path =
            folder / (partPrefix(target) + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        // The mode is filtered by the umask, as for any file the user creates.
        auto file = FileDescriptor::open(path, O_WRONLY | O_CREAT | O_EXCL, "Не удалось создать файл", 0666);
        if (file)
            return std::unique_ptr<PartFile>(new PartFile(std::move(*file), target));
        // A leftover of an earlier process that had the same id.
        if (file.error().code() != EEXIST)
            return failure(std::move(file).error());
    }
}

void PartFile::removeAbandoned(const std::filesystem::path& target) {
    const std::string prefix = partPrefix(target);
    std::error_code error;
    for (std::filesystem::directory_iterator it(target.parent_path(), error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (!name.starts_with(prefix))
            continue;
        const auto pid = static_cast<pid_t>(std::atol(name.c_str() + prefix.size()));
        if (pid > 0 && (::kill(pid, 0) == 0 || errno != ESRCH))
            continue;
        std::error_code ignored;
        std::filesystem::remove(it->path(), ignored);
    }
}

PartFile::~PartFile() {
    if (!m_committed)
        ::unlink(m_file.path().c_str());
}

Result<void> PartFile::write(std::string_view bytes) {
    TRY(m_file.write(bytes, "Не удалось записать модель"));
    m_size += bytes.size();
    return {};
}

Result<void> PartFile::commit() {
    TRY(m_file.sync("Не удалось записать модель"));
    TRY(m_file.close("Не удалось записать модель"));
    if (::rename(m_file.path().c_str(), m_target.c_str()) != 0)
        return failure(Error::fromErrno("Не удалось сохранить модель", m_target, errno));
    m_committed = true;
    // Makes the rename itself durable; the model is complete either way.
    (void)syncFolder(m_target.parent_path());
    return {};
}

} // namespace zorvel
