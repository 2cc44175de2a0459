#include "pipeline/Transcriber.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <unicode/smpdtfmt.h>

namespace zorvel {

namespace {

constexpr std::int64_t paragraphGapLimitMs = 5000;
constexpr std::int64_t paragraphSpanLimitMs = 45000;

// "5 марта 2025, 14:03": the Russian locale's own genitive month names, in local time.
std::string headingDate(TimePoint startedAt) {
    UErrorCode status = U_ZERO_ERROR;
    icu::SimpleDateFormat format(icu::UnicodeString("d MMMM yyyy, HH:mm"), icu::Locale("ru_RU"), status);
    if (U_FAILURE(status))
        return {};
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(startedAt.time_since_epoch()).count();
    icu::UnicodeString text;
    format.format(static_cast<UDate>(ms), text);
    std::string out;
    text.toUTF8String(out);
    return out;
}

std::string paragraphTime(std::int64_t ms) {
    const std::int64_t s = ms / 1000;
    char text[64];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld", static_cast<long long>(s / 3600),
                  static_cast<long long>(s % 3600 / 60), static_cast<long long>(s % 60));
    return text;
}

} // namespace

std::string Transcriber::renderTranscript(const std::vector<TranscriptSegment>& segments, TimePoint startedAt) {
    std::vector<std::string> lines{"# Встреча " + headingDate(startedAt), ""};

    std::vector<TranscriptSegment> sorted = segments;
    std::ranges::stable_sort(sorted, {}, &TranscriptSegment::fromMs);

    if (sorted.empty()) {
        lines.emplace_back("_Распознанной речи нет._");
    } else {
        std::optional<std::string> currentSpeaker;
        std::int64_t paragraphStart = 0;
        std::int64_t previousEnd = 0;
        std::vector<std::string> buffer;
        const auto flush = [&] {
            if (!currentSpeaker || buffer.empty())
                return;
            std::string line = "**" + *currentSpeaker + "** [" + paragraphTime(paragraphStart) + "]: ";
            for (size_t i = 0; i < buffer.size(); ++i)
                line += (i ? " " : "") + buffer[i];
            lines.push_back(std::move(line));
            lines.emplace_back();
            buffer.clear();
        };
        for (const auto& segment : sorted) {
            if (!currentSpeaker || segment.speaker != *currentSpeaker ||
                segment.fromMs - previousEnd > paragraphGapLimitMs ||
                segment.toMs - paragraphStart > paragraphSpanLimitMs) {
                flush();
                currentSpeaker = segment.speaker;
                paragraphStart = segment.fromMs;
            }
            buffer.push_back(segment.text);
            previousEnd = segment.toMs;
        }
        flush();
    }

    std::string text;
    for (size_t i = 0; i < lines.size(); ++i)
        text += (i ? "\n" : "") + lines[i];
    return text;
}

} // namespace zorvel
