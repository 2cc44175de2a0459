#include "pipeline/Transcriber.h"
#include "pipeline/WhisperJson.h"
#include "support/Files.h"
#include "support/NumberText.h"

#include <array>
#include <string_view>
#include <memory>
#include <unicode/brkiter.h>
#include <unicode/regex.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

namespace zorvel {

namespace {

// Texts the recogniser invents on silence or noise, matched against the lower-cased utterance.
constexpr std::array<const char*, 15> hallucinationPatterns = {
    "^субтитр",
    "^редактор субтитров",
    "^корректор",
    "^перевод и субтитры",
    "^продолжение следует",
    "^спасибо за просмотр",
    "^подписывайтесь",
    "^ставьте лайк",
    "^всем пока",
    "^subtitles by",
    "^subs by",
    "^thanks for watching",
    "^thank you\\.?$",
    "^please subscribe",
    "^[\\[(].*[\\])]$",
};

// All patterns as one alternation, compiled once. Every pattern is anchored at the start, so
// "^(?:p1|p2|...)" matches exactly when one of them does, in one attempt instead of fifteen.
// A RegexPattern is safe to share between threads.
const icu::RegexPattern* hallucinationPattern() {
    static const std::unique_ptr<icu::RegexPattern> pattern = [] {
        std::string alternation = "^(?:";
        for (size_t i = 0; i < hallucinationPatterns.size(); ++i) {
            const std::string_view one = hallucinationPatterns[i];
            alternation += (i ? "|" : "");
            alternation += one.substr(one.starts_with('^') ? 1 : 0);
        }
        alternation += ")";
        UParseError where{};
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::RegexPattern> compiled(
            icu::RegexPattern::compile(icu::UnicodeString::fromUTF8(alternation), 0, where, status));
        return U_SUCCESS(status) ? std::move(compiled) : nullptr;
    }();
    return pattern.get();
}

icu::UnicodeString trimmed(const icu::UnicodeString& text) {
    int32_t start = 0;
    int32_t end = text.length();
    while (start < end && u_isUWhiteSpace(text.char32At(start)))
        start = text.moveIndex32(start, 1);
    while (end > start) {
        const int32_t previous = text.moveIndex32(end, -1);
        if (!u_isUWhiteSpace(text.char32At(previous)))
            break;
        end = previous;
    }
    return {text, start, end - start};
}

// The ICU objects the filter needs, made once per file: building a break iterator and a matcher
// for every utterance cost more than all the matching itself.
class FilterTools {
public:
    FilterTools() {
        UErrorCode status = U_ZERO_ERROR;
        m_characters.reset(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        if (U_FAILURE(status))
            m_characters.reset();
        status = U_ZERO_ERROR;
        if (const auto* pattern = hallucinationPattern())
            m_matcher.reset(pattern->matcher(status));
        if (U_FAILURE(status))
            m_matcher.reset();
    }

    // Whether at least `enough` characters (grapheme clusters) start with an alphabetic or
    // numeric code point; stops counting once there are enough.
    bool hasLettersOrDigits(const icu::UnicodeString& text, int enough) {
        if (!m_characters)
            return false;
        m_characters->setText(text);
        int count = 0;
        for (int32_t start = m_characters->first(); start != icu::BreakIterator::DONE && start < text.length();
             start = m_characters->next()) {
            const UChar32 first = text.char32At(start);
            if ((u_hasBinaryProperty(first, UCHAR_ALPHABETIC) ||
                 u_getIntPropertyValue(first, UCHAR_NUMERIC_TYPE) != U_NT_NONE) &&
                ++count >= enough)
                return true;
        }
        return false;
    }

    bool isHallucination(const icu::UnicodeString& text) {
        m_lower = text;
        m_lower.toLower(icu::Locale::getRoot());
        if (!m_matcher)
            return false;
        UErrorCode status = U_ZERO_ERROR;
        m_matcher->reset(m_lower);
        return m_matcher->find(status) != 0 && U_SUCCESS(status) != 0;
    }

private:
    std::unique_ptr<icu::BreakIterator> m_characters;
    std::unique_ptr<icu::RegexMatcher> m_matcher;
    icu::UnicodeString m_lower; // the matcher refers to it
};

std::string utf8(const icu::UnicodeString& text) {
    std::string out;
    text.toUTF8String(out);
    return out;
}

} // namespace

Result<std::vector<TranscriptSegment>> Transcriber::parseSegments(const std::filesystem::path& json,
                                                                  const std::string& speaker,
                                                                  const LoudnessEnvelope* envelope, LogFile& log) {
    const std::string raw = TRY(readWholeFile(json));

    auto decoded = decodeWhisperSegments(repairWhisperJson(raw));
    if (!decoded)
        return failure(Error::platform("Не удалось разобрать ответ распознавателя «" + json.string() +
                                       "»: " + decoded.error().description())
                           .causedBy(decoded.error()));

    return filterSegments(*decoded, speaker, envelope, log);
}

std::vector<TranscriptSegment> Transcriber::filterSegments(const std::vector<WhisperSegment>& segments,
                                                           const std::string& speaker, const LoudnessEnvelope* envelope,
                                                           LogFile& log) {
    FilterTools tools;
    std::vector<TranscriptSegment> kept;
    for (const auto& element : segments) {
        const icu::UnicodeString text = trimmed(icu::UnicodeString::fromUTF8(element.text));
        if (text.isEmpty() || !tools.hasLettersOrDigits(text, 2))
            continue;
        const std::string textUTF8 = utf8(text);
        if (tools.isHallucination(text)) {
            Transcriber::log("Отброшена галлюцинация: " + textUTF8, log);
            continue;
        }
        if (envelope) {
            const float level = envelope->rms(element.from, element.to);
            if (!(level >= 0.003F)) {
                Transcriber::log("Отброшена реплика на тишине (RMS " + shortestFloatText(level) + "): " + textUTF8,
                                 log);
                continue;
            }
        }
        // The filter sees the text as the recogniser wrote it; the transcript gets no control bytes.
        kept.push_back({speaker, element.from, element.to,
                        utf8(trimmed(icu::UnicodeString::fromUTF8(replaceControlCharacters(textUTF8))))});
    }
    return kept;
}

} // namespace zorvel
