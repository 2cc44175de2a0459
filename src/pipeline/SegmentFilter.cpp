#include "pipeline/Transcriber.h"
#include "pipeline/WhisperJson.h"
#include "support/Files.h"
#include "support/NumberText.h"

#include <array>
#include <memory>
#include <stdexcept>
#include <nlohmann/json.hpp>
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

// The compiled patterns, built once; a RegexPattern is safe to share between threads.
const std::vector<std::unique_ptr<icu::RegexPattern>>& compiledPatterns() {
    static const auto patterns = [] {
        std::vector<std::unique_ptr<icu::RegexPattern>> compiled;
        for (const char* pattern : hallucinationPatterns) {
            UParseError where{};
            UErrorCode status = U_ZERO_ERROR;
            compiled.emplace_back(
                icu::RegexPattern::compile(icu::UnicodeString::fromUTF8(pattern), 0, where, status));
        }
        return compiled;
    }();
    return patterns;
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
    return icu::UnicodeString(text, start, end - start);
}

// Characters (grapheme clusters) whose first code point is alphabetic or numeric.
int lettersOrDigits(const icu::UnicodeString& text) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> characters(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status))
        return 0;
    characters->setText(text);
    int count = 0;
    for (int32_t start = characters->first(); start != icu::BreakIterator::DONE && start < text.length();
         start = characters->next()) {
        const UChar32 first = text.char32At(start);
        if (u_hasBinaryProperty(first, UCHAR_ALPHABETIC) ||
            u_getIntPropertyValue(first, UCHAR_NUMERIC_TYPE) != U_NT_NONE)
            ++count;
    }
    return count;
}

bool isHallucination(const icu::UnicodeString& text) {
    icu::UnicodeString lower(text);
    lower.toLower(icu::Locale::getRoot());
    for (const auto& pattern : compiledPatterns()) {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::RegexMatcher> matcher(pattern->matcher(lower, status));
        if (U_SUCCESS(status) && matcher->find(status) && U_SUCCESS(status))
            return true;
    }
    return false;
}

std::string utf8(const icu::UnicodeString& text) {
    std::string out;
    text.toUTF8String(out);
    return out;
}

std::int64_t offset(const nlohmann::json& offsets, const char* key) {
    const auto& value = offsets.at(key);
    if (!value.is_number_integer() ||
        (value.is_number_unsigned() && value.get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX)))
        throw std::runtime_error(std::string("\"") + key + "\" не целое 64-битное число");
    return value.get<std::int64_t>();
}

} // namespace

Result<std::vector<TranscriptSegment>> Transcriber::parseSegments(const std::filesystem::path& json,
                                                                  const std::string& speaker,
                                                                  const LoudnessEnvelope* envelope, LogFile& log) {
    const std::string raw = TRY(readWholeFile(json));

    struct Element {
        std::int64_t from, to;
        std::string text;
    };
    std::vector<Element> elements;
    try {
        const auto document = nlohmann::json::parse(repairWhisperJson(raw));
        const auto& transcription = document.at("transcription");
        if (!transcription.is_array())
            throw std::runtime_error("\"transcription\" не массив");
        for (const auto& segment : transcription) {
            const auto& offsets = segment.at("offsets");
            if (!offsets.is_object())
                throw std::runtime_error("\"offsets\" не объект");
            elements.push_back({offset(offsets, "from"), offset(offsets, "to"), segment.at("text").get<std::string>()});
        }
    } catch (const std::exception& error) {
        return failure(Error::platform("Не удалось разобрать ответ распознавателя «" + json.string() +
                                       "»: " + error.what()));
    }

    std::vector<TranscriptSegment> kept;
    for (auto& element : elements) {
        const icu::UnicodeString text = trimmed(icu::UnicodeString::fromUTF8(element.text));
        if (text.isEmpty() || lettersOrDigits(text) < 2)
            continue;
        const std::string textUTF8 = utf8(text);
        if (isHallucination(text)) {
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
        kept.push_back({speaker, element.from, element.to, textUTF8});
    }
    return kept;
}

} // namespace zorvel
