// The tray controller's logic, offscreen, through its seams: a fake tray icon, alerts,
// notifications, opener, clock, recording and transcription.

#include "TestEnvironment.h"
#include "app/AppDelegate.h"
#include "model/ModelPaths.h"
#include "support/Paths.h"
#include "support/Settings.h"

#include <QApplication>
#include <QElapsedTimer>
#include <future>
#include <gtest/gtest.h>

namespace zorvel {
namespace {

using namespace std::chrono_literals;
using test::writeText;

struct FakeStatusIcon : StatusIcon {
    void setLook(IconLook newLook, const QString& text) override {
        look = newLook;
        accessibilityText = text;
    }
    void setTitle(const QString& newTitle) override { title = newTitle; }
    void attachMenu(QMenu* newMenu) override { menu = newMenu; }

    IconLook look = IconLook::idle;
    QString accessibilityText;
    QString title = "unset";
    QMenu* menu = nullptr;
};

struct Alert {
    AlertStyle style;
    QString message;
    QString informativeText;
};

struct FakeAlerts : Alerts {
    void show(AlertStyle style, const QString& message, const QString& informativeText) override {
        shown.push_back({style, message, informativeText});
    }
    std::vector<Alert> shown;
};

struct FakeNotifier : Notifier {
    void notify(const QString& title, const QString& body) override { sent.emplace_back(title, body); }
    std::vector<std::pair<QString, QString>> sent;
};

struct FakeOpener : Opener {
    void open(const QUrl& url) override { opened.push_back(url); }
    std::vector<QUrl> opened;
};

// What the test controls of a recording, shared with the fake the controller owns.
struct RecordingState {
    std::filesystem::path folder;
    TimePoint startedAt;
    bool micEnabled = true;
    double silence = 0.0;
    bool broken = false;
    bool started = false;
    int stops = 0;
    std::optional<Error> startError;
};

struct FakeRecording : Recording {
    explicit FakeRecording(std::shared_ptr<RecordingState> shared) : state(std::move(shared)) {}
    Result<void> start() override {
        if (state->startError)
            return failure(*state->startError);
        state->started = true;
        return {};
    }
    void stop() override { ++state->stops; }
    std::filesystem::path folderURL() const override { return state->folder; }
    TimePoint startedAt() const override { return state->startedAt; }
    bool micEnabled() const override { return state->micEnabled; }
    double secondsSinceLastSound() const override { return state->silence; }
    bool micBroken() const override { return state->broken; }
    std::shared_ptr<RecordingState> state;
};

struct TranscriptionCall {
    std::string language;
    std::filesystem::path folder;
    TimePoint startedAt;
};

class AppDelegateTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "app_delegate_tests";
        static char* argv[] = {name, nullptr};
        static QApplication application(argc, argv);
    }

    void SetUp() override {
        std::filesystem::create_directories(Paths::modelURL().parent_path());
        writeText(Paths::modelURL(), "model");
        std::error_code ignored;
        std::filesystem::remove_all(Paths::recordingsRoot(), ignored);
        std::filesystem::remove(std::getenv("XDG_CONFIG_HOME") / std::filesystem::path("Zorvel/Zorvel.conf"), ignored);
        recording->folder = Paths::recordingsRoot() / "2025-03-05 14-03-27";
        recording->startedAt = clock;
    }
    void TearDown() override {
        // A transcription still running must not outlive the fakes it reports to.
        releaseTranscriptions();
        if (delegate && delegate->isTranscribing())
            waitForReport();
        delegate.reset();
        QCoreApplication::processEvents();
    }

    AppDelegate& launch() {
        AppServices services;
        services.statusIcon = &icon;
        services.alerts = &alerts;
        services.notifier = &notifier;
        services.opener = &opener;
        services.now = [this] { return clock; };
        services.requestMicrophoneAccess = [this] { return micAllowed; };
        services.log = [this](const std::string& line) { logged.push_back(line); };
        services.createRecording = [this](bool micEnabled) -> Result<std::unique_ptr<Recording>> {
            if (createError)
                return failure(*createError);
            recording->micEnabled = micEnabled;
            return std::make_unique<FakeRecording>(recording);
        };
        services.runTranscription = [this, released = released](
                                        const std::string& language, const std::filesystem::path& folder,
                                        TimePoint startedAt) -> Result<std::filesystem::path> {
            {
                std::lock_guard lock(callsMutex);
                calls.push_back({language, folder, startedAt});
            }
            if (holdTranscriptions)
                released.wait();
            if (transcriptionError)
                return failure(*transcriptionError);
            return folder / "transcript.md";
        };
        delegate = std::make_unique<AppDelegate>(services);
        delegate->applicationDidFinishLaunching();
        return *delegate;
    }

    // Turns the event loop until the controller has reported a transcription.
    bool waitForReport() {
        bool reported = false;
        const auto connection =
            QObject::connect(delegate.get(), &AppDelegate::transcriptionReported, [&] { reported = true; });
        QElapsedTimer timer;
        timer.start();
        while (!reported && timer.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QObject::disconnect(connection);
        return reported;
    }

    std::vector<TranscriptionCall> transcriptionCalls() {
        std::lock_guard lock(callsMutex);
        return calls;
    }

    // The menu's visible rows: titles, "-" for separators.
    std::vector<QString> rows() {
        std::vector<QString> titles;
        for (QAction* action : delegate->menu()->actions())
            titles.push_back(action->isSeparator() ? "-" : action->text());
        return titles;
    }

    QString checkedLanguage() {
        QString checked;
        for (QAction* item : delegate->languageMenu()->actions())
            if (item->isChecked())
                checked += item->text();
        return checked;
    }

    void startRecording(double elapsedSeconds = 0) {
        delegate->toggleRecording();
        clock += std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::duration<double>(elapsedSeconds));
    }

    TimePoint clock = std::chrono::system_clock::from_time_t(1741183407);
    FakeStatusIcon icon;
    FakeAlerts alerts;
    FakeNotifier notifier;
    FakeOpener opener;
    bool micAllowed = true;
    std::optional<Error> createError;
    std::optional<Error> transcriptionError;
    std::vector<std::string> logged;
    bool holdTranscriptions = false;
    void releaseTranscriptions() {
        if (!isReleased)
            release.set_value();
        isReleased = true;
    }
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    bool isReleased = false;
    std::mutex callsMutex;
    std::vector<TranscriptionCall> calls;
    std::shared_ptr<RecordingState> recording = std::make_shared<RecordingState>();
    std::unique_ptr<AppDelegate> delegate;
};

TEST_F(AppDelegateTest, MenuAsBuiltWithTheModelPresent) {
    launch();
    EXPECT_EQ(rows(), (std::vector<QString>{"Готов к записи", "-", "Начать запись", "Открыть последний конспект",
                                            "Транскрибировать последнюю запись", "Открыть папку записей", "-",
                                            "Язык транскрибации", "Скачать модель распознавания (1,6 ГБ)", "-",
                                            "Завершить Zorvel"}));
    EXPECT_FALSE(delegate->statusLineItem()->isEnabled());
    EXPECT_TRUE(delegate->toggleItem()->isEnabled());
    EXPECT_EQ(delegate->toggleItem()->shortcut(), QKeySequence("Ctrl+R"));
    EXPECT_FALSE(delegate->openTranscriptItem()->isEnabled());
    EXPECT_TRUE(delegate->retranscribeItem()->isEnabled());
    EXPECT_FALSE(delegate->downloadModelItem()->isVisible());
    EXPECT_EQ(delegate->menu()->actions().back()->shortcut(), QKeySequence("Ctrl+Q"));
    EXPECT_EQ(icon.look, IconLook::idle);
    EXPECT_EQ(icon.accessibilityText, "Zorvel");
    EXPECT_EQ(icon.title, "");
    EXPECT_EQ(icon.menu, delegate->menu());
    std::vector<QString> languages;
    for (QAction* item : delegate->languageMenu()->actions())
        languages.push_back(item->text() + "=" + item->data().toString());
    EXPECT_EQ(languages, (std::vector<QString>{"Русский=ru", "English=en", "Автоматически=auto"}));
}

TEST_F(AppDelegateTest, MenuAsBuiltWithTheModelMissing) {
    std::filesystem::remove(Paths::modelURL());
    launch();
    EXPECT_EQ(delegate->statusText(), "Сначала скачайте модель (меню ниже)");
    EXPECT_EQ(delegate->statusLineItem()->text(), "Сначала скачайте модель (меню ниже)");
    EXPECT_TRUE(delegate->downloadModelItem()->isVisible());
    EXPECT_TRUE(delegate->downloadModelItem()->isEnabled());
}

TEST_F(AppDelegateTest, LanguageChecksFollowTheStoredSetting) {
    launch();
    EXPECT_EQ(checkedLanguage(), "Русский");
    delegate->languageMenu()->actions()[1]->trigger();
    EXPECT_EQ(Settings::transcriptionLanguage(), "en");
    EXPECT_EQ(checkedLanguage(), "English");
    // Choosing the checked item again keeps it checked.
    delegate->languageMenu()->actions()[1]->trigger();
    EXPECT_EQ(checkedLanguage(), "English");

    Settings::setTranscriptionLanguage("de");
    delegate.reset();
    launch();
    EXPECT_EQ(checkedLanguage(), "");
    delegate->retranscribeLast(); // no folders: only the alert
    std::filesystem::create_directories(recording->folder);
    delegate->retranscribeLast();
    ASSERT_TRUE(waitForReport());
    ASSERT_EQ(transcriptionCalls().size(), 1u);
    EXPECT_EQ(transcriptionCalls()[0].language, "de");
}

TEST_F(AppDelegateTest, ALanguageChosenDuringARunAffectsOnlyTheNextRun) {
    launch();
    std::filesystem::create_directories(recording->folder);
    holdTranscriptions = true;
    delegate->retranscribeLast();
    EXPECT_TRUE(delegate->isTranscribing());
    EXPECT_FALSE(delegate->retranscribeItem()->isEnabled());
    EXPECT_EQ(delegate->statusText(), "Транскрибирую…");
    delegate->languageMenu()->actions()[2]->trigger();
    // A second request while a run is going does nothing at all.
    delegate->retranscribeLast();
    releaseTranscriptions();
    ASSERT_TRUE(waitForReport());
    holdTranscriptions = false;
    delegate->retranscribeLast();
    ASSERT_TRUE(waitForReport());
    const auto runs = transcriptionCalls();
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].language, "ru");
    EXPECT_EQ(runs[1].language, "auto");
}

TEST_F(AppDelegateTest, RecordingShowsTheClockAndStoppingTranscribes) {
    launch();
    startRecording();
    EXPECT_TRUE(delegate->isRecording());
    EXPECT_TRUE(delegate->hasTimer());
    EXPECT_EQ(delegate->toggleItem()->text(), "Остановить запись");
    EXPECT_TRUE(delegate->toggleItem()->isEnabled());
    EXPECT_EQ(delegate->statusText(), "Идёт запись");
    EXPECT_EQ(icon.look, IconLook::recording);
    EXPECT_EQ(icon.accessibilityText, "Идёт запись");
    EXPECT_EQ(icon.title, " 0:00");
    EXPECT_EQ(delegate->statusLineItem()->text(), "Идёт запись — 0:00");

    clock += 5900ms;
    delegate->tick();
    EXPECT_EQ(icon.title, " 0:05");
    clock += 3600s;
    delegate->tick();
    EXPECT_EQ(icon.title, " 1:00:05");
    EXPECT_EQ(delegate->statusLineItem()->text(), "Идёт запись — 1:00:05");

    delegate->toggleRecording();
    EXPECT_EQ(recording->stops, 1);
    EXPECT_FALSE(delegate->isRecording());
    EXPECT_FALSE(delegate->hasTimer());
    EXPECT_EQ(icon.look, IconLook::idle);
    EXPECT_EQ(icon.accessibilityText, "Zorvel");
    EXPECT_EQ(icon.title, "");
    EXPECT_EQ(delegate->toggleItem()->text(), "Начать запись");
    EXPECT_EQ(delegate->statusText(), "Транскрибирую…");
    ASSERT_TRUE(waitForReport());

    const auto runs = transcriptionCalls();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].folder, recording->folder);
    EXPECT_EQ(runs[0].startedAt, recording->startedAt);
    EXPECT_EQ(delegate->statusText(), "Конспект готов");
    EXPECT_EQ(delegate->statusLineItem()->text(), "Конспект готов");
    ASSERT_EQ(notifier.sent.size(), 1u);
    EXPECT_EQ(notifier.sent[0], std::make_pair(QString("Конспект готов"), QString("2025-03-05 14-03-27")));
    EXPECT_TRUE(delegate->openTranscriptItem()->isEnabled());
    EXPECT_TRUE(delegate->retranscribeItem()->isEnabled());
    delegate->openLastTranscript();
    ASSERT_EQ(opener.opened.size(), 1u);
    EXPECT_EQ(opener.opened[0].toLocalFile().toStdString(), (recording->folder / "transcript.md").string());
    EXPECT_TRUE(alerts.shown.empty());
}

TEST_F(AppDelegateTest, WatchdogWarnsOncePerSilentSpell) {
    launch();
    startRecording();
    recording->silence = 75.0;
    delegate->tick();
    EXPECT_EQ(delegate->statusText(), "Идёт запись");
    EXPECT_TRUE(notifier.sent.empty());

    recording->silence = 75.4;
    delegate->tick();
    EXPECT_EQ(delegate->statusText(), "Запись идёт, но микрофон молчит 75 с");
    EXPECT_EQ(icon.look, IconLook::warning);
    EXPECT_EQ(icon.accessibilityText, "Микрофон молчит");
    ASSERT_EQ(notifier.sent.size(), 1u);
    EXPECT_EQ(notifier.sent[0].first, "Zorvel: микрофон молчит");
    EXPECT_EQ(notifier.sent[0].second, "Ваш голос не записывается. Проверьте устройство ввода в Настройках → Звук.");

    recording->silence = 76.4;
    delegate->tick();
    EXPECT_EQ(delegate->statusText(), "Запись идёт, но микрофон молчит 76 с");
    EXPECT_EQ(notifier.sent.size(), 1u);

    recording->silence = 0.3;
    delegate->tick();
    EXPECT_EQ(delegate->statusText(), "Идёт запись");
    EXPECT_EQ(icon.look, IconLook::recording);

    // A broken microphone warns at once, with whatever silence has passed.
    recording->silence = 3.7;
    recording->broken = true;
    delegate->tick();
    EXPECT_EQ(delegate->statusText(), "Запись идёт, но микрофон молчит 3 с");
    EXPECT_EQ(icon.look, IconLook::warning);
    EXPECT_EQ(notifier.sent.size(), 2u);
}

TEST_F(AppDelegateTest, DeniedMicrophoneRecordsSystemAudioAndNeverWarns) {
    micAllowed = false;
    launch();
    startRecording();
    EXPECT_FALSE(recording->micEnabled);
    EXPECT_EQ(delegate->statusText(), "Идёт запись (микрофон запрещён!)");
    recording->silence = 10000;
    recording->broken = true;
    delegate->tick();
    EXPECT_EQ(delegate->statusText(), "Идёт запись (микрофон запрещён!)");
    EXPECT_TRUE(notifier.sent.empty());
}

TEST_F(AppDelegateTest, FailedStartLeavesNothingRunning) {
    launch();
    recording->startError = Error(ZorvelError::microphoneUnavailable())
                                .withPlatformCause(ErrorSource::pulseAudio, 5, "Нет такой сущности")
                                .inCaptureStep(CaptureStep::connect);
    startRecording();
    ASSERT_EQ(alerts.shown.size(), 1u);
    EXPECT_EQ(alerts.shown[0].style, AlertStyle::warning);
    EXPECT_EQ(alerts.shown[0].message, "Не удалось начать запись");
    EXPECT_EQ(alerts.shown[0].informativeText,
              "Микрофон недоступен. Проверьте в Настройках → Звук, что выбрано устройство ввода.");
    // The sound server's words, its code and the failed step, which the message leaves out, are logged.
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0], "Не удалось начать запись: Микрофон недоступен. Проверьте в Настройках → Звук, что "
                         "выбрано устройство ввода. [libpulse, код 5: Нет такой сущности; шаг: подключение к "
                         "звуковому серверу]");
    EXPECT_EQ(delegate->statusText(), "Готов к записи");
    EXPECT_TRUE(delegate->toggleItem()->isEnabled());
    EXPECT_EQ(delegate->toggleItem()->text(), "Начать запись");
    EXPECT_FALSE(delegate->isRecording());
    EXPECT_FALSE(delegate->hasTimer());
    EXPECT_EQ(icon.look, IconLook::idle);

    createError = Error::platform("Не удалось создать папку");
    startRecording();
    ASSERT_EQ(alerts.shown.size(), 2u);
    EXPECT_EQ(alerts.shown[1].informativeText, "Не удалось создать папку");

    createError.reset();
    recording->startError.reset();
    startRecording();
    EXPECT_TRUE(delegate->isRecording());
}

TEST_F(AppDelegateTest, FailedTranscriptionNamesTheFolder) {
    transcriptionError = ZorvelError::processFailed("whisper-cli", 3);
    launch();
    startRecording();
    delegate->toggleRecording();
    ASSERT_TRUE(waitForReport());
    EXPECT_EQ(delegate->statusText(), "Ошибка транскрибации");
    ASSERT_EQ(alerts.shown.size(), 1u);
    EXPECT_EQ(alerts.shown[0].style, AlertStyle::warning);
    EXPECT_EQ(alerts.shown[0].message.toStdString(),
              "Транскрибация не удалась. Аудио сохранено в " + recording->folder.string());
    EXPECT_EQ(alerts.shown[0].informativeText,
              "whisper-cli завершился с ошибкой (код 3). Подробности в whisper.log в папке записи.");
    EXPECT_FALSE(delegate->openTranscriptItem()->isEnabled());
    EXPECT_FALSE(delegate->lastTranscriptURL());
    EXPECT_TRUE(notifier.sent.empty());
}

TEST_F(AppDelegateTest, MissingModelKeepsTheRecordingForLater) {
    launch();
    startRecording();
    std::filesystem::remove(Paths::modelURL());
    delegate->toggleRecording();
    EXPECT_EQ(delegate->statusText(), "Запись сохранена, модель не скачана");
    ASSERT_EQ(alerts.shown.size(), 1u);
    EXPECT_EQ(alerts.shown[0].style, AlertStyle::informational);
    EXPECT_EQ(alerts.shown[0].message, "Запись сохранена");
    EXPECT_EQ(alerts.shown[0].informativeText.toStdString(),
              "Аудио лежит в " + recording->folder.string() +
                  ". Скачайте модель через меню Zorvel и выберите «Транскрибировать последнюю запись».");
    EXPECT_FALSE(delegate->isTranscribing());
    EXPECT_TRUE(transcriptionCalls().empty());
}

TEST_F(AppDelegateTest, NewestRecordingFolderIgnoresHiddenFoldersAndFiles) {
    const auto root = Paths::recordingsRoot();
    EXPECT_FALSE(AppDelegate::newestRecordingFolder());
    std::filesystem::create_directories(root / "2025-03-05 14-03-27");
    std::filesystem::create_directories(root / "2024-12-31 23-59-59");
    std::filesystem::create_directories(root / ".zzz hidden");
    writeText(root / "zzz plain file", "x");
    std::filesystem::create_directory_symlink(root / "2024-12-31 23-59-59", root / "zzz link");
    EXPECT_EQ(AppDelegate::newestRecordingFolder(), root / "2025-03-05 14-03-27");
    // A name off the date pattern still wins when it is the greatest.
    std::filesystem::create_directories(root / "meeting");
    EXPECT_EQ(AppDelegate::newestRecordingFolder(), root / "meeting");
    // Canonically equivalent names compare by their composed form: "é" composed sorts above "e\u0301z".
    std::filesystem::create_directories(root / "me\xcc\x81");
    EXPECT_EQ(AppDelegate::newestRecordingFolder(), root / "me\xcc\x81");
    EXPECT_EQ(AppDelegate::newestRecordingFolder(root / "me\xcc\x81"), root / "meeting");
}

TEST_F(AppDelegateTest, RetranscribeNeedsARecordingAndSkipsTheOneBeingRecorded) {
    launch();
    delegate->retranscribeLast();
    ASSERT_EQ(alerts.shown.size(), 1u);
    EXPECT_EQ(alerts.shown[0].style, AlertStyle::informational);
    EXPECT_EQ(alerts.shown[0].message, "Нет записей");
    EXPECT_EQ(alerts.shown[0].informativeText.toStdString(),
              "В папке " + Paths::recordingsRoot().string() + " пока нет записей.");

    const auto older = Paths::recordingsRoot() / "2025-01-01 10-00-00";
    std::filesystem::create_directories(older);
    std::filesystem::create_directories(recording->folder);
    startRecording();
    delegate->retranscribeLast();
    ASSERT_TRUE(waitForReport());
    ASSERT_EQ(transcriptionCalls().size(), 1u);
    EXPECT_EQ(transcriptionCalls()[0].folder, older);
    EXPECT_TRUE(delegate->isRecording());
}

TEST_F(AppDelegateTest, OpeningTheRecordingsFolderCreatesIt) {
    launch();
    delegate->openLastTranscript();
    EXPECT_TRUE(opener.opened.empty());
    delegate->openRecordingsFolder();
    EXPECT_TRUE(std::filesystem::is_directory(Paths::recordingsRoot()));
    ASSERT_EQ(opener.opened.size(), 1u);
    EXPECT_EQ(opener.opened[0].toLocalFile().toStdString(), Paths::recordingsRoot().string());
}

TEST_F(AppDelegateTest, ModelDownloadProgressAndOutcomes) {
    std::filesystem::remove(Paths::modelURL());
    launch();
    // Nothing listens on the discard port: the download fails at once.
    delegate->modelDownloader().setSourceURL(QUrl("http://127.0.0.1:9/ggml-large-v3-turbo.bin"));
    delegate->downloadModel();
    EXPECT_EQ(delegate->statusText(), "Скачиваю модель… 0%");
    EXPECT_FALSE(delegate->downloadModelItem()->isEnabled());
    delegate->modelDownloader().onProgress(0.456);
    EXPECT_EQ(delegate->statusText(), "Скачиваю модель… 45%");
    delegate->modelDownloader().onProgress(0.999);
    EXPECT_EQ(delegate->statusText(), "Скачиваю модель… 99%");
    delegate->modelDownloader().onProgress(1.0);
    EXPECT_EQ(delegate->statusText(), "Скачиваю модель… 100%");

    QElapsedTimer timer;
    timer.start();
    while (delegate->modelDownloader().isDownloading() && timer.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_EQ(delegate->statusText(), "Не удалось скачать модель");
    ASSERT_EQ(alerts.shown.size(), 1u);
    EXPECT_EQ(alerts.shown[0].style, AlertStyle::warning);
    EXPECT_EQ(alerts.shown[0].message, "Не удалось скачать модель");
    EXPECT_FALSE(alerts.shown[0].informativeText.isEmpty());
    EXPECT_TRUE(delegate->downloadModelItem()->isEnabled());
    EXPECT_TRUE(delegate->downloadModelItem()->isVisible());

    delegate->modelDownloader().onFinish({});
    EXPECT_FALSE(delegate->downloadModelItem()->isVisible());
    EXPECT_EQ(delegate->statusText(), "Готов к записи");
    ASSERT_EQ(notifier.sent.size(), 1u);
    EXPECT_EQ(notifier.sent[0], std::make_pair(QString("Модель скачана"), QString("Zorvel готов к работе.")));
}

TEST_F(AppDelegateTest, QuittingStopsTheRecordingWithoutTranscribing) {
    launch();
    startRecording();
    delegate->applicationWillTerminate();
    EXPECT_EQ(recording->stops, 1);
    EXPECT_TRUE(transcriptionCalls().empty());
    EXPECT_FALSE(delegate->isTranscribing());
}

} // namespace
} // namespace zorvel
