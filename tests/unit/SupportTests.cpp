#include "TestEnvironment.h"
#include "cli/CommandLine.h"
#include "cli/MicTest.h"
#include "model/ModelPaths.h"
#include "support/Error.h"
#include "support/Files.h"
#include "support/FormatDuration.h"
#include "support/NumberText.h"
#include "support/Paths.h"
#include "support/Settings.h"
#include "support/ZorvelError.h"

#include <QSettings>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <langinfo.h>

namespace zorvel {
namespace {

TEST(FormatDuration, ShortAndLongForms) {
    const std::pair<std::int64_t, const char*> table[] = {
        {0, "0:00"},       {59, "0:59"},       {61, "1:01"},         {600, "10:00"}, {3599, "59:59"},
        {3600, "1:00:00"}, {3661, "1:01:01"}, {90000, "25:00:00"}, {-5, "0:00"}};
    for (const auto& [seconds, text] : table)
        EXPECT_EQ(formatDuration(seconds), text) << seconds;
}

TEST(ZorvelErrorMessages, ExactTexts) {
    EXPECT_EQ(ZorvelError::coreAudio("создание системного тапа", -10851).errorDescription(),
              "Ошибка Core Audio (создание системного тапа), код -10851. Проверьте, что приложению разрешена "
              "запись системного звука в Настройках → Конфиденциальность.");
    EXPECT_EQ(ZorvelError::processFailed("ffmpeg", 1).errorDescription(),
              "ffmpeg завершился с ошибкой (код 1). Подробности в whisper.log в папке записи.");
#if defined(__APPLE__)
    EXPECT_EQ(ZorvelError::whisperNotFound().errorDescription(),
              "Не найден whisper-cli. Установите его: brew install whisper-cpp — или пересоберите приложение со "
              "встроенным whisper (scripts/vendor-whisper).");
#else
    EXPECT_EQ(
        ZorvelError::whisperNotFound().errorDescription(),
        "Не найден whisper-cli. Соберите его командой scripts/setup в папке исходников Zorvel или установите "
        "whisper-cli так, чтобы он был в PATH, в /usr/local/bin, /usr/bin или ~/.local/bin.");
#endif
    EXPECT_EQ(ZorvelError::modelMissing().errorDescription(),
              "Модель распознавания не скачана. Выберите «Скачать модель» в меню Zorvel.");
    EXPECT_EQ(ZorvelError::microphoneUnavailable().errorDescription(),
              "Микрофон недоступен. Проверьте в Настройках → Звук, что выбрано устройство ввода.");
    EXPECT_EQ(ZorvelError::noAudioFiles().errorDescription(), "В папке записи нет аудиофайлов.");
    EXPECT_EQ(
        ZorvelError::modelDamaged("/home/u/.local/share/Zorvel/models/ggml-large-v3-turbo.bin")
            .errorDescription(),
        "Файл модели распознавания повреждён: /home/u/.local/share/Zorvel/models/ggml-large-v3-turbo.bin. "
        "Выберите «Скачать модель» в меню Zorvel, чтобы скачать её заново.");
}

TEST(ErrorValue, KeepsThePlatformsWordsAndCodeAndLogsWhatTheMessageLeavesOut) {
    const std::string words = std::strerror(ENOENT);
    const Error missing = Error::fromErrno("Не удалось прочитать", "/x/y", ENOENT);
    EXPECT_EQ(missing.description(), "Не удалось прочитать «/x/y»: " + words);
    EXPECT_EQ(missing.source(), ErrorSource::posix);
    EXPECT_EQ(missing.code(), ENOENT);
    EXPECT_EQ(missing.platformMessage(), words);
    // The words are in the message already: the log adds only the code.
    EXPECT_EQ(missing.logText(), missing.description() + " [errno, код " + std::to_string(ENOENT) + "]");

    const Error own = Error::platform("Запись уже идёт");
    EXPECT_EQ(own.source(), ErrorSource::none);
    EXPECT_FALSE(own.code());
    EXPECT_EQ(own.logText(), "Запись уже идёт");

    // One of our own kinds keeps its fixed message and takes over the cause of the error it replaces.
    const Error replaced = Error(ZorvelError::noAudioFiles()).causedBy(missing);
    EXPECT_TRUE(replaced.is(ZorvelError::Kind::noAudioFiles));
    EXPECT_EQ(replaced.description(), "В папке записи нет аудиофайлов.");
    EXPECT_EQ(replaced.logText(),
              "В папке записи нет аудиофайлов. [errno, код " + std::to_string(ENOENT) + ": " + words + "]");
}

// On Linux a failed capture names the sound server, the failed step and its words, and says what
// to check, instead of the macOS advice of the fixed texts.
TEST(ErrorValue, CaptureFailuresSpeakOfTheSoundServer) {
    const Error refused = Error::platform("Не удалось подключиться к звуковому серверу: Connection refused",
                                          ErrorSource::pulseAudio, 6, "Connection refused")
                              .inCaptureStep(CaptureStep::connect);
    const Error system = Error(ZorvelError::coreAudio("создание системного тапа", 6)).causedBy(refused);
    EXPECT_EQ(system.description(),
              "Не удалось записать звук компьютера. Звуковой сервер (PulseAudio или PipeWire), шаг «подключение к "
              "звуковому серверу»: Не удалось подключиться к звуковому серверу: Connection refused. Проверьте, что "
              "звуковой сервер работает (pactl info) и что в настройках звука выбрано и включено устройство вывода.");
    EXPECT_EQ(system.logText(), system.description() + " [libpulse, код 6; шаг: подключение к звуковому серверу]");

    // The server's words alone, and no cause at all.
    const Error words = Error(ZorvelError::microphoneUnavailable())
                            .withPlatformCause(ErrorSource::pulseAudio, 5, "No such entity")
                            .inCaptureStep(CaptureStep::readFormat);
    EXPECT_EQ(words.description(),
              "Микрофон недоступен. Звуковой сервер (PulseAudio или PipeWire), шаг «чтение формата устройства»: No "
              "such entity. Проверьте, что звуковой сервер работает (pactl info) и что в настройках звука выбрано и "
              "включено устройство ввода.");
    EXPECT_EQ(Error(ZorvelError::microphoneUnavailable()).description(),
              "Микрофон недоступен. Проверьте, что звуковой сервер работает (pactl info) и что в настройках звука "
              "выбрано и включено устройство ввода.");
    // Other kinds keep their fixed texts.
    EXPECT_EQ(Error(ZorvelError::noAudioFiles()).causedBy(refused).description(), "В папке записи нет аудиофайлов.");
}

TEST(ShortestFloatText, FractionAlwaysShownExponentBelowOneTenThousandth) {
    EXPECT_EQ(shortestFloatText(0.0F), "0.0");
    EXPECT_EQ(shortestFloatText(0.0013F), "0.0013");
    EXPECT_EQ(shortestFloatText(0.002F), "0.002");
    EXPECT_EQ(shortestFloatText(0.0029F), "0.0029");
    EXPECT_EQ(shortestFloatText(1.0F), "1.0");
    EXPECT_EQ(shortestFloatText(0.0001F), "0.0001");
    EXPECT_EQ(shortestFloatText(1.5e-05F), "1.5e-05");
    EXPECT_EQ(shortestFloatText(5e-05F), "5e-05");
    EXPECT_EQ(shortestFloatText(3.0517578e-05F), "3.0517578e-05");
    EXPECT_EQ(shortestFloatText(0.21602468F), "0.21602468");
    EXPECT_EQ(shortestFloatText(12.5F), "12.5");
}

// A locale whose decimal separator is a comma: an installed one, else ru_RU.UTF-8 built with
// localedef from the system's locale sources into the test's private folder (found through
// LOCPATH). Empty when there is neither.
std::string decimalCommaLocale() {
    const auto writesComma = [](const std::string& name) {
        const locale_t locale = ::newlocale(LC_ALL_MASK, name.c_str(), nullptr);
        if (locale == nullptr)
            return false;
        const bool comma = std::string_view(::nl_langinfo_l(RADIXCHAR, locale)) == ",";
        ::freelocale(locale);
        return comma;
    };
    for (const char* name : {"ru_RU.UTF-8", "ru_RU.utf8", "de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"})
        if (writesComma(name))
            return name;
    const auto built = test::privateRoot() / "locales";
    std::filesystem::create_directories(built);
    test::runProgram("/usr/bin/localedef", {"-i", "ru_RU", "-f", "UTF-8", (built / "ru_RU.UTF-8").string()});
    ::setenv("LOCPATH", built.c_str(), 1);
    if (writesComma("ru_RU.UTF-8"))
        return "ru_RU.UTF-8";
    ::unsetenv("LOCPATH");
    return {};
}

// The whole process in a locale that writes and reads a decimal comma, for the life of the object.
class DecimalCommaLocale {
public:
    DecimalCommaLocale() : m_previous(std::setlocale(LC_ALL, nullptr)) {
        static const std::string name = decimalCommaLocale();
        m_active = !name.empty() && std::setlocale(LC_ALL, name.c_str()) != nullptr;
    }
    ~DecimalCommaLocale() { std::setlocale(LC_ALL, m_previous.c_str()); }
    DecimalCommaLocale(const DecimalCommaLocale&) = delete;
    DecimalCommaLocale& operator=(const DecimalCommaLocale&) = delete;

    bool active() const { return m_active; }

private:
    std::string m_previous;
    bool m_active = false;
};

constexpr const char* noCommaLocale =
    "no locale with a decimal comma is installed, and localedef could not build ru_RU.UTF-8 (its sources "
    "come with the \"locales\" package, which scripts/setup installs)";

TEST(FixedText, IgnoresTheProcessLocale) {
    const DecimalCommaLocale locale;
    if (!locale.active())
        GTEST_SKIP() << noCommaLocale;
    // The process itself now writes a comma, as printf-style formatting would.
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.1f", 1.5);
    ASSERT_STREQ(probe, "1,5");
    EXPECT_EQ(fixedText(1.25, 1), "1.2");
    EXPECT_EQ(fixedText(0.0, 4), "0.0000");
    EXPECT_EQ(fixedText(3.14159, 4), "3.1416");
    EXPECT_EQ(shortestFloatText(0.0013F), "0.0013");
    EXPECT_EQ(shortestFloatText(1.5e-05F), "1.5e-05");
}

TEST(MicTestDurationText, ReadsADecimalPointWhateverTheProcessLocale) {
    const DecimalCommaLocale locale;
    if (!locale.active())
        GTEST_SKIP() << noCommaLocale;
    ASSERT_EQ(std::strtod("2,5", nullptr), 2.5);
    EXPECT_EQ(micTestDuration("2.5").seconds, 2.5);
    // The comma is not the C form and falls back to the default.
    EXPECT_EQ(micTestDuration("2,5").seconds, 8);
}

TEST(ExpandTilde, HomeAndNamedUsers) {
    const std::string home = std::getenv("HOME");
    EXPECT_EQ(expandTilde("~"), home);
    EXPECT_EQ(expandTilde("~/Documents/a b"), home + "/Documents/a b");
    EXPECT_EQ(expandTilde("~root/x"), "/root/x");
    EXPECT_EQ(expandTilde("~no-such-user-zorvel/x"), "~no-such-user-zorvel/x");
    EXPECT_EQ(expandTilde("a/~/b"), "a/~/b");
    EXPECT_EQ(expandTilde(""), "");
}

TEST(ChooseMode, WholeArgumentsFirstOccurrenceTranscribeWins) {
    struct Row {
        std::vector<std::string> arguments;
        Mode mode;
        std::size_t index;
    };
    const Row table[] = {
        {{"zorvel"}, Mode::application, 0},
        {{"zorvel", "--transcribe", "f"}, Mode::transcribe, 1},
        {{"zorvel", "--mic-test", "--transcribe"}, Mode::transcribe, 2},
        {{"zorvel", "--transcribe", "--mic-test"}, Mode::transcribe, 1},
        {{"zorvel", "--mic-test", "3", "--mic-test"}, Mode::micTest, 1},
        {{"zorvel", "--transcribe=folder"}, Mode::application, 0},
        {{"zorvel", "--Transcribe", "f"}, Mode::application, 0},
        {{"--transcribe", "x"}, Mode::transcribe, 0},
        {{"zorvel", "x", "--transcribe", "a", "--transcribe", "b"}, Mode::transcribe, 2},
    };
    for (const auto& row : table) {
        const auto choice = chooseMode(row.arguments);
        EXPECT_EQ(choice.mode, row.mode) << row.arguments.back();
        EXPECT_EQ(choice.flagIndex, row.index) << row.arguments.back();
    }
}

TEST(PathsTest, ModelUnderApplicationSupportAndDownloadAddress) {
    const std::string dataHome = std::getenv("XDG_DATA_HOME");
    EXPECT_EQ(Paths::modelURL().string(), dataHome + "/Zorvel/models/ggml-large-v3-turbo.bin");
    EXPECT_TRUE(Paths::modelDownloadURL().starts_with("https://"));
    EXPECT_TRUE(Paths::modelDownloadURL().ends_with("resolve/main/ggml-large-v3-turbo.bin"));
    EXPECT_EQ(Paths::recordingsRoot().string(), std::string(std::getenv("HOME")) + "/Documents/Zorvel");
}

// The model setting picks the file, its address and its checksum together. A value that could
// lead out of the models folder, or that names no recognition model file, leaves the default.
TEST(PathsTest, ModelSettingChoosesTheFileAndItsDownload) {
    struct Forget {
        ~Forget() { QSettings("Zorvel", "Zorvel").remove("recognitionModel"); }
    } forget;
    const auto models = Paths::modelURL().parent_path();
    const std::string hub = "https://huggingface.co/ggerganov/whisper.cpp/resolve/main/";
    const std::string publishedSHA1 = "4af2b29d7ec73d781377bfd1758ca957a807e941";

    Settings::setRecognitionModel("ggml-large-v3-turbo-q8_0.bin");
    EXPECT_EQ(Paths::modelURL(), models / "ggml-large-v3-turbo-q8_0.bin");
    EXPECT_EQ(Paths::modelDownloadURL(), hub + "ggml-large-v3-turbo-q8_0.bin");
    // The hub's listing publishes no checksum for it: the download is checked by its layout.
    EXPECT_EQ(Paths::modelDownloadSHA1(), std::nullopt);
    EXPECT_EQ(Paths::refusedModelName(), std::nullopt);
    // A mirror's address stands as given; a mirrored folder gets the file's name.
    ::setenv("ZORVEL_MODEL_URL", "https://mirror.example/q8.bin", 1);
    EXPECT_EQ(Paths::modelDownloadURL(), "https://mirror.example/q8.bin");
    ::setenv("ZORVEL_MODEL_URL", "https://mirror.example/whisper/", 1);
    EXPECT_EQ(Paths::modelDownloadURL(), "https://mirror.example/whisper/ggml-large-v3-turbo-q8_0.bin");
    EXPECT_EQ(Paths::modelDownloadSHA1(), std::nullopt);
    EXPECT_EQ(Paths::modelURL(), models / "ggml-large-v3-turbo-q8_0.bin");
    ::unsetenv("ZORVEL_MODEL_URL");

    const std::string refused[] = {"", "..", "../ggml-large-v3-turbo.bin", "/tmp/model.bin", "sub/model.bin",
                                   ".ggml-large-v3-turbo.bin.part-1-1", "ggml-large-v3-turbo.gguf",
                                   "ggml-silero-v6.2.0.bin", std::string(300, 'a') + ".bin", "two\nlines.bin"};
    for (const auto& value : refused) {
        SCOPED_TRACE(value);
        Settings::setRecognitionModel(value);
        EXPECT_EQ(Paths::modelURL(), models / "ggml-large-v3-turbo.bin");
        EXPECT_EQ(Paths::modelDownloadURL(), hub + "ggml-large-v3-turbo.bin");
        EXPECT_EQ(Paths::modelDownloadSHA1(), publishedSHA1);
        EXPECT_TRUE(Paths::refusedModelName());
    }
    // As the log shows it: on one line.
    EXPECT_EQ(Paths::refusedModelName(), "two?lines.bin");
}

} // namespace
} // namespace zorvel
