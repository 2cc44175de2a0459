#include "TestEnvironment.h"
#include "pipeline/Transcriber.h"
#include "pipeline/WhisperJson.h"

#include <ctime>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace zorvel {
namespace {

using test::readText;
using test::TemporaryFolder;
using test::writeText;

// A recogniser file as whisper-cli writes it: only '"' and '\' escaped, everything else raw.
std::string whisperJson(const std::vector<std::tuple<std::int64_t, std::int64_t, std::string>>& segments) {
    std::string out = "{\n\t\"systeminfo\": \"AVX = 1\",\n\t\"result\": {\"language\": \"ru\"},\n\t\"transcription\": [";
    for (size_t i = 0; i < segments.size(); ++i) {
        const auto& [from, to, text] = segments[i];
        std::string escaped;
        for (char c : text) {
            if (c == '"' || c == '\\')
                escaped += '\\';
            escaped += c;
        }
        out += (i ? ",\n" : "\n");
        out += "\t\t{\n\t\t\t\"timestamps\": {\"from\": \"00:00:00,000\", \"to\": \"00:00:00,000\"},\n";
        out += "\t\t\t\"offsets\": {\"from\": " + std::to_string(from) + ", \"to\": " + std::to_string(to) + "},\n";
        out += "\t\t\t\"text\": \"" + escaped + "\"\n\t\t}";
    }
    return out + "\n\t]\n}\n";
}

class ParseSegments : public testing::Test {
protected:
    std::vector<TranscriptSegment> parse(const std::string& json, const LoudnessEnvelope* envelope = nullptr) {
        writeText(folder / "mic.json", json);
        auto log = LogFile::create(folder / "whisper.log");
        auto result = Transcriber::parseSegments(folder / "mic.json", "Я", envelope, *log);
        EXPECT_TRUE(result) << (result ? "" : result.error().description());
        return result ? *result : std::vector<TranscriptSegment>{};
    }
    std::vector<std::string> texts(const std::vector<TranscriptSegment>& segments) {
        std::vector<std::string> out;
        for (const auto& segment : segments)
            out.push_back(segment.text);
        return out;
    }
    std::string logText() { return readText(folder / "whisper.log"); }

    TemporaryFolder folder;
};

TEST_F(ParseSegments, TrimsAndDropsUtterancesWithoutSubstanceSilently) {
    const auto kept = parse(whisperJson({{0, 1000, "  Привет, мир! \n"},
                                         {1000, 2000, "   "},
                                         {2000, 3000, "…"},
                                         {3000, 4000, "а."},
                                         {4000, 5000, "?"},
                                         {5000, 6000, " 42"},
                                         {6000, 7000, "\u00a0ok\u2003"}}));
    EXPECT_EQ(texts(kept), (std::vector<std::string>{"Привет, мир!", "42", "ok"}));
    ASSERT_EQ(kept.size(), 3U);
    EXPECT_EQ(kept[0].speaker, "Я");
    EXPECT_EQ(kept[0].fromMs, 0);
    EXPECT_EQ(kept[1].toMs, 6000);
    EXPECT_EQ(logText(), "");
}

TEST_F(ParseSegments, HallucinationsMatchTheLowerCasedStartAndAreLoggedAsReceived) {
    const auto kept = parse(whisperJson({
        {0, 1, "  Спасибо за просмотр!"},
        {1, 2, "Большое спасибо за просмотр"},
        {2, 3, "ПОДПИСЫВАЙТЕСЬ НА КАНАЛ"},
        {3, 4, "Thank you."},
        {4, 5, "thank you"},
        {5, 6, "Thank you!"},
        {6, 7, "Thank you very much."},
        {7, 8, "[Музыка]"},
        {8, 9, "(смеётся)"},
        {9, 10, "[Музыка] Привет"},
        {10, 11, "Субтитры создавал DimaTorzok"},
        {11, 12, "Редактор субтитров А.Семкин"},
        {12, 13, "Корректор А.Кулакова"},
        {13, 14, "Продолжение следует..."},
        {14, 15, "Ставьте лайк"},
        {15, 16, "Всем пока!"},
        {16, 17, "Subtitles by the Amara.org community"},
        {17, 18, "subs by kinozal"},
        {18, 19, "Thanks for watching!"},
        {19, 20, "Please subscribe"},
        {20, 21, "Перевод и субтитры: кто-то"},
        {21, 22, "Я подписывайтесь не скажу"},
        {22, 23, "thank you.."},
        {23, 24, "[Музыка]\n(аплодисменты)"},
    }));
    EXPECT_EQ(texts(kept), (std::vector<std::string>{"Большое спасибо за просмотр", "Thank you!", "Thank you very much.",
                                                      "[Музыка] Привет", "Я подписывайтесь не скажу", "thank you..",
                                                      // "." of pattern 15 stops at the line break, which
                                                      // the transcript then gets as a space.
                                                      "[Музыка] (аплодисменты)"}));
    const std::string log = logText();
    EXPECT_NE(log.find("[zorvel] Отброшена галлюцинация: Спасибо за просмотр!\n"), std::string::npos);
    EXPECT_NE(log.find("[zorvel] Отброшена галлюцинация: ПОДПИСЫВАЙТЕСЬ НА КАНАЛ\n"), std::string::npos);
    EXPECT_EQ(log.find("Thank you!"), std::string::npos);
}

TEST_F(ParseSegments, SilenceFilterNeedsAnRmsOfAtLeastThreeThousandths) {
    const LoudnessEnvelope envelope{{0.0029F, 0.003F, 0.0F, 0.5F}};
    const auto kept = parse(whisperJson({{0, 10, "Тихо сказано"},
                                         {10, 20, "Ровно на пороге"},
                                         {20, 30, "Субтитры тишины"},
                                         {30, 40, "Громко"},
                                         {30, 40, "Громко"}}),
                            &envelope);
    EXPECT_EQ(texts(kept), (std::vector<std::string>{"Ровно на пороге", "Громко", "Громко"}));
    EXPECT_EQ(logText(), "[zorvel] Отброшена реплика на тишине (RMS 0.0029): Тихо сказано\n"
                         "[zorvel] Отброшена галлюцинация: Субтитры тишины\n");

    const LoudnessEnvelope quiet{{5e-05F}};
    EXPECT_TRUE(parse(whisperJson({{0, 10, "Шёпот"}}), &quiet).empty());
    EXPECT_EQ(logText(), "[zorvel] Отброшена реплика на тишине (RMS 5e-05): Шёпот\n");

    EXPECT_EQ(parse(whisperJson({{0, 10, "Шёпот"}}), nullptr).size(), 1U);
    const LoudnessEnvelope none;
    EXPECT_TRUE(parse(whisperJson({{0, 10, "Шёпот"}}), &none).empty());
}

TEST_F(ParseSegments, EmptyTranscriptionGivesNothingAndLogsNothing) {
    EXPECT_TRUE(parse(whisperJson({})).empty());
    EXPECT_EQ(logText(), "");
}

TEST_F(ParseSegments, RawControlBytesAndSplitLettersDoNotFailTheFile) {
    // "Привет" with its last letter "т" (D1 82) split between two segments, a tab and a newline
    // written raw, and a lone lead byte. Control characters become spaces.
    const auto kept = parse(whisperJson({{0, 1000, " Приве\xD1"},
                                         {1000, 2000, "\x82 как\tдела\nтам"},
                                         {2000, 3000, " мир \xD0 вот"},
                                         {3000, 4000, " ещё \x01 одно"}}));
    EXPECT_EQ(texts(kept),
              (std::vector<std::string>{"Привет", "как дела там", "мир \xEF\xBF\xBD вот", "ещё   одно"}));
}

TEST_F(ParseSegments, MissingKeysWrongTypesAndBadFilesFail) {
    const std::pair<const char*, const char*> broken[] = {
        {"no transcription", R"({"result": {}})"},
        {"no offsets", R"({"transcription": [{"text": "a"}]})"},
        {"no text", R"({"transcription": [{"offsets": {"from": 0, "to": 1}}]})"},
        {"no to", R"({"transcription": [{"offsets": {"from": 0}, "text": "ab"}]})"},
        {"float offset", R"({"transcription": [{"offsets": {"from": 0.5, "to": 1}, "text": "ab"}]})"},
        {"string offset", R"({"transcription": [{"offsets": {"from": "0", "to": 1}, "text": "ab"}]})"},
        {"huge offset", R"({"transcription": [{"offsets": {"from": 9223372036854775808, "to": 1}, "text": "ab"}]})"},
        {"text number", R"({"transcription": [{"offsets": {"from": 0, "to": 1}, "text": 5}]})"},
        {"element not an object", R"({"transcription": [5]})"},
        {"root not an object", R"([{"transcription": []}])"},
        {"transcription an object", R"({"transcription": {}})"},
        {"offsets an array", R"({"transcription": [{"offsets": [0, 1], "text": "ab"}]})"},
        {"bad last duplicate", R"({"transcription": [{"offsets": {"from": 0, "to": 1}, "text": "ab"}], "transcription": 3})"},
        {"not json", "<html>404</html>"},
        {"truncated", R"({"transcription": [{"offsets": {"from": 0, "to": 1}, "text": "ab"})"},
    };
    for (const auto& [name, json] : broken) {
        writeText(folder / "bad.json", json);
        auto log = LogFile::create(folder / "whisper.log");
        const auto result = Transcriber::parseSegments(folder / "bad.json", "Я", nullptr, *log);
        ASSERT_FALSE(result) << name;
        EXPECT_NE(result.error().description().find("bad.json"), std::string::npos) << name;
    }
    auto log = LogFile::create(folder / "whisper.log");
    EXPECT_FALSE(Transcriber::parseSegments(folder / "absent.json", "Я", nullptr, *log));
}

TEST_F(ParseSegments, NamesakeKeysElsewhereAreIgnoredAndTheLastDuplicateCounts) {
    const auto kept = parse(R"({"offsets": 5, "text": 7, "result": {"transcription": 3},
        "transcription": 1,
        "transcription": [
            {"timestamps": {"offsets": "x", "from": "a"}, "offsets": {"from": 1, "to": 2, "extra": [1, {"a": null}]},
             "text": "Первый", "tokens": [{"text": 5, "offsets": null}]},
            {"offsets": "bad", "offsets": {"from": 3, "from": 30, "to": 40}, "text": 1, "text": "Второй"}],
        "model": {"transcription": false}})");
    ASSERT_EQ(kept.size(), 2U);
    EXPECT_EQ(kept[0].text, "Первый");
    EXPECT_EQ(kept[0].fromMs, 1);
    EXPECT_EQ(kept[0].toMs, 2);
    EXPECT_EQ(kept[1].text, "Второй");
    EXPECT_EQ(kept[1].fromMs, 30);
    EXPECT_EQ(kept[1].toMs, 40);
}

TEST(RepairWhisperJson, LeavesValidDocumentsAlone) {
    const std::string valid = whisperJson({{0, 10, "Привет \"мир\" \\ ok"}});
    EXPECT_EQ(repairWhisperJson(valid), valid);
    const auto repaired = repairWhisperJson(whisperJson({{0, 10, "a\x1f\x7f\xF0\x9F"}}));
    EXPECT_TRUE(nlohmann::json::accept(repaired));
}

TimePoint localTime(int year, int month, int day, int hour, int minute) {
    std::tm parts{};
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    parts.tm_mday = day;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&parts));
}

TEST(RenderTranscript, WorkedExampleByteForByte) {
    const std::vector<TranscriptSegment> segments = {
        {"Собеседник", 0, 2400, "Добрый день."},
        {"Собеседник", 2600, 5000, "Слышно меня?"},
        {"Я", 5200, 6000, "Да, слышно."},
        {"Я", 12000, 15000, "Начнём с отчёта."},
        {"Собеседник", 3723000, 3725000, "Хорошо."},
    };
    EXPECT_EQ(Transcriber::renderTranscript(segments, localTime(2025, 3, 5, 14, 3)),
              "# Встреча 5 марта 2025, 14:03\n\n"
              "**Собеседник** [00:00:00]: Добрый день. Слышно меня?\n\n"
              "**Я** [00:00:05]: Да, слышно.\n\n"
              "**Я** [00:00:12]: Начнём с отчёта.\n\n"
              "**Собеседник** [01:02:03]: Хорошо.\n");
}

TEST(RenderTranscript, NoSpeechHasNoFinalLineFeed) {
    EXPECT_EQ(Transcriber::renderTranscript({}, localTime(2024, 11, 1, 9, 5)),
              "# Встреча 1 ноября 2024, 09:05\n\n_Распознанной речи нет._");
}

// The body of the transcript: everything after the heading and its empty line.
std::string body(const std::vector<TranscriptSegment>& segments) {
    const std::string text = Transcriber::renderTranscript(segments, localTime(2025, 1, 1, 0, 0));
    return text.substr(text.find("\n\n") + 2);
}

TEST(RenderTranscript, ParagraphBoundaries) {
    EXPECT_EQ(body({{"Я", 0, 100, "а б"}}), "**Я** [00:00:00]: а б\n");
    EXPECT_EQ(body({{"Я", 3723999, 3724000, "x"}}), "**Я** [01:02:03]: x\n");
    EXPECT_EQ(body({{"Я", 360000000, 360000001, "x"}}), "**Я** [100:00:00]: x\n");
    // gap exactly 5000 continues, 5001 breaks
    EXPECT_EQ(body({{"Я", 0, 1000, "a"}, {"Я", 6000, 7000, "b"}}), "**Я** [00:00:00]: a b\n");
    EXPECT_EQ(body({{"Я", 0, 1000, "a"}, {"Я", 6001, 7000, "b"}}),
              "**Я** [00:00:00]: a\n\n**Я** [00:00:06]: b\n");
    // span exactly 45000 continues, 45001 breaks
    EXPECT_EQ(body({{"Я", 0, 20000, "a"}, {"Я", 20000, 45000, "b"}, {"Я", 45000, 45001, "c"}}),
              "**Я** [00:00:00]: a b\n\n**Я** [00:00:45]: c\n");
    // one long segment stands alone, and so does the one after it
    EXPECT_EQ(body({{"Я", 0, 1000, "a"}, {"Я", 1000, 60000, "long"}, {"Я", 60000, 61000, "b"}}),
              "**Я** [00:00:00]: a\n\n**Я** [00:00:01]: long\n\n**Я** [00:01:00]: b\n");
    // alternating speakers, overlapping segments, stable order on equal starts
    EXPECT_EQ(body({{"A", 0, 100, "1"}, {"B", 50, 150, "2"}, {"A", 100, 200, "3"}}),
              "**A** [00:00:00]: 1\n\n**B** [00:00:00]: 2\n\n**A** [00:00:00]: 3\n");
    EXPECT_EQ(body({{"Собеседник", 1000, 2000, "first"}, {"Я", 1000, 2000, "second"}, {"Собеседник", 0, 500, "zero"}}),
              "**Собеседник** [00:00:00]: zero first\n\n**Я** [00:00:01]: second\n");
    EXPECT_EQ(body({{"Я", 5000, 9000, "a"}, {"Я", 1000, 20000, "b"}}), "**Я** [00:00:01]: b a\n");
}

} // namespace
} // namespace zorvel
