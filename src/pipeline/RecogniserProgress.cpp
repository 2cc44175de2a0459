#include "pipeline/RecogniserProgress.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace zorvel {

namespace {

constexpr auto readInterval = std::chrono::milliseconds(250);
// A line longer than this is no segment line; its start is dropped rather than kept growing.
constexpr std::size_t longestLine = std::size_t{64} * 1024;

// "HH:MM:SS.mmm" with two or more digits of hours; advances `at` past it.
std::optional<double> parseTimestamp(std::string_view line, std::size_t& at) {
    const auto digits = [&](std::size_t count, bool orMore) -> std::optional<long long> {
        long long value = 0;
        std::size_t taken = 0;
        while (at < line.size() && line[at] >= '0' && line[at] <= '9' && (orMore || taken < count)) {
            value = value * 10 + (line[at] - '0');
            ++at;
            ++taken;
            if (taken > 9)
                return std::nullopt;
        }
        if (taken < count)
            return std::nullopt;
        return value;
    };
    const auto expect = [&](char c) {
        if (at >= line.size() || line[at] != c)
            return false;
        ++at;
        return true;
    };
    const auto hours = digits(2, true);
    if (!hours || !expect(':'))
        return std::nullopt;
    const auto minutes = digits(2, false);
    if (!minutes || !expect(':'))
        return std::nullopt;
    const auto seconds = digits(2, false);
    if (!seconds || !expect('.'))
        return std::nullopt;
    const auto milliseconds = digits(3, false);
    if (!milliseconds)
        return std::nullopt;
    return static_cast<double>(*hours * 3600 + *minutes * 60 + *seconds) + static_cast<double>(*milliseconds) / 1000.0;
}

std::optional<double> segmentEnd(std::string_view line) {
    if (line.empty() || line.front() != '[')
        return std::nullopt;
    std::size_t at = 1;
    if (!parseTimestamp(line, at))
        return std::nullopt;
    if (line.substr(at, 5) != " --> ")
        return std::nullopt;
    at += 5;
    const auto end = parseTimestamp(line, at);
    if (!end || at >= line.size() || line[at] != ']')
        return std::nullopt;
    return end;
}

} // namespace

std::optional<double> RecogniserProgress::lastSegmentEnd(std::string_view text) {
    std::optional<double> last;
    std::size_t start = 0;
    for (std::size_t end = text.find('\n'); end != std::string_view::npos; end = text.find('\n', start)) {
        if (const auto found = segmentEnd(text.substr(start, end - start)))
            last = found;
        start = end + 1;
    }
    return last;
}

RecogniserProgress::RecogniserProgress(int logDescriptor, std::function<void(double)> report)
    : m_report(std::move(report)) {
    // A descriptor of our own on the same file, read from where the writers are now.
    auto log = FileDescriptor::open("/proc/self/fd/" + std::to_string(logDescriptor), O_RDONLY, "Не удалось прочитать");
    const off_t position = ::lseek(logDescriptor, 0, SEEK_CUR);
    if (!log || position < 0)
        return;
    m_log = std::move(*log);
    m_offset = position;
    m_thread = std::thread([this] { follow(); });
}

RecogniserProgress::~RecogniserProgress() { stop(); }

void RecogniserProgress::stop() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void RecogniserProgress::follow() {
    std::unique_lock lock(m_mutex);
    while (!m_stopping) {
        m_wake.wait_for(lock, readInterval, [this] { return m_stopping; });
        lock.unlock();
        readNew();
        lock.lock();
    }
}

void RecogniserProgress::readNew() {
    char buffer[16384];
    std::string text = std::move(m_partialLine);
    while (true) {
        const ssize_t got = ::pread(m_log->get(), buffer, sizeof buffer, m_offset);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        m_offset += got;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    const auto lastNewline = text.rfind('\n');
    if (lastNewline == std::string::npos) {
        m_partialLine = text.size() > longestLine ? std::string() : std::move(text);
        return;
    }
    m_partialLine = text.substr(lastNewline + 1);
    if (m_partialLine.size() > longestLine)
        m_partialLine.clear();
    const auto end = lastSegmentEnd(std::string_view(text).substr(0, lastNewline + 1));
    if (end && *end > m_reported) {
        m_reported = *end;
        m_report(*end);
    }
}

} // namespace zorvel
