// The tray controller's logic, offscreen, through its seams: a fake tray icon, alerts,
// notifications, opener, clock, recording and transcription.

#include "GgmlModels.h"
#include "TestEnvironment.h"
#include "app/AppDelegate.h"
#include "model/ModelPaths.h"
#include "support/Paths.h"
#include "support/Settings.h"

#include "app/Autostart.h"
#include "app/SingleInstance.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QElapsedTimer>
#include <fcntl.h>
#include <future>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

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
    void setToolTip(const QString& newToolTip) override { toolTip = newToolTip; }
    void attachMenu(QMenu* newMenu) override { menu = newMenu; }

    IconLook look = IconLook::idle;
    QString accessibilityText;
    QString title = "unset";
    QString toolTip;
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
    void notify(const QString& title, const QString& body, const QUrl& target) override {
        sent.emplace_back(title, body);
        targets.push_back(target);
    }
    std::vector<std::pair<QString, QString>> sent;
    std::vector<QUrl> targets;
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
    std::optional<double> recognised;
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
    std::optional<double> recognisedSeconds() const override { return state->recognised; }
    std::shared_ptr<RecordingState> state;
};

// One offscreen application for every test of this program, whichever runs first.
void startApplication() {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "app_delegate_tests";
    static char* argv[] = {name, nullptr};
    static QApplication application(argc, argv);
}

struct TranscriptionCall {
    std::string language;
    std::filesystem::path folder;
    TimePoint startedAt;
};

class AppDelegateTest : public testing::Test {
protected:
    static void SetUpTestSuite() { startApplication(); }

    void SetUp() override {
        std::filesystem::create_directories(Paths::modelURL().parent_path());
        test::writeWeightlessWhisperModel(Paths::modelURL());
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
        services.runTranscription =
            [this, released = released](const std::string& language, const std::filesystem::path& folder,
                                        TimePoint startedAt,
                                        const std::function<void(const TranscriptionProgress&)>& progress)
            -> Result<TranscriptionOutcome> {
            {
                std::lock_guard lock(callsMutex);
                calls.push_back({language, folder, startedAt});
            }
            {
                std::lock_guard lock(callsMutex);
                lastProgress = progress;
            }
            for (const auto& report : progressReports)
                progress(report);
            if (holdTranscriptions)
                released.wait();
            if (transcriptionError)
                return failure(*transcriptionError);
            std::filesystem::create_directories(folder);
            writeText(folder / "transcript.md", "# Встреча");
            return TranscriptionOutcome{folder / "transcript.md", speechFound};
        };
        delegate = std::make_unique<AppDelegate>(services);
        delegate->applicationDidFinishLaunching();
        return *delegate;
    }

    // Turns the event loop until `done` or a deadline.
    static bool waitFor(const std::function<bool()>& done) {
        QElapsedTimer timer;
        timer.start();
        while (!done() && timer.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        return done();
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

    // Reports progress as the running transcription would, from another thread, and waits until
    // the controller has shown it.
    void reportProgress(const TranscriptionProgress& report) {
        bool shown = false;
        const auto connection =
            QObject::connect(delegate.get(), &AppDelegate::transcriptionProgressShown, [&] { shown = true; });
        std::function<void(const TranscriptionProgress&)> progress;
        {
            std::lock_guard lock(callsMutex);
            progress = lastProgress;
        }
        std::thread([&] { progress(report); }).join();
        QElapsedTimer timer;
        timer.start();
        while (!shown && timer.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QObject::disconnect(connection);
    }

    // The menu's visible rows: titles, "-" for separators.
    std::vector<QString> rows() {
        std::vector<QString> titles;
        for (QAction* action : delegate->menu()->actions())
            if (action->isVisible())
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
    std::vector<TranscriptionProgress> progressReports;
    bool speechFound = true;
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
    std::function<void(const TranscriptionProgress&)> lastProgress;
    std::shared_ptr<RecordingState> recording = std::make_shared<RecordingState>();
    std::unique_ptr<AppDelegate> delegate;
};

TEST_F(AppDelegateTest, MenuAsBuiltWithTheModelPresent) {
    launch();
    EXPECT_EQ(rows(), (std::vector<QString>{"Готов к записи", "-", "Начать запись", "Открыть последний конспект",
                                            "Транскрибировать последнюю запись", "Открыть папку записей", "-",
                                            "Язык транскрибации", "Запускать при входе в систему",
                                            "Распознавать во время записи", "-",
                                            "Завершить Zorvel"}));
    EXPECT_FALSE(delegate->statusLineItem()->isEnabled());
    EXPECT_TRUE(delegate->toggleItem()->isEnabled());
    // A panel shows key hints but never acts on them; only the macOS menu bar does.
    EXPECT_TRUE(delegate->toggleItem()->shortcut().isEmpty());
    EXPECT_TRUE(delegate->menu()->actions().back()->shortcut().isEmpty());
    EXPECT_FALSE(delegate->openTranscriptItem()->isEnabled());
    EXPECT_TRUE(delegate->retranscribeItem()->isEnabled());
    EXPECT_FALSE(delegate->unfinishedItem()->isVisible());
    EXPECT_FALSE(delegate->downloadModelItem()->isVisible());
    EXPECT_TRUE(delegate->startAtLoginItem()->isCheckable());
    EXPECT_FALSE(delegate->startAtLoginItem()->isChecked());
    // On unless turned off, and the menu turns it off and on again.
    ASSERT_TRUE(delegate->recogniseWhileRecordingItem()->isCheckable());
    EXPECT_TRUE(delegate->recogniseWhileRecordingItem()->isChecked());
    delegate->recogniseWhileRecordingItem()->trigger();
    EXPECT_FALSE(Settings::recogniseWhileRecording());
    delegate->recogniseWhileRecordingItem()->trigger();
    EXPECT_TRUE(Settings::recogniseWhileRecording());
    EXPECT_EQ(icon.look, IconLook::idle);
    EXPECT_EQ(icon.accessibilityText, "Zorvel");
    EXPECT_EQ(icon.toolTip, "Zorvel");
    EXPECT_EQ(icon.title, "");
    EXPECT_EQ(icon.menu, delegate->menu());
    std::vector<QString> languages;
    for (QAction* item : delegate->languageMenu()->actions())
        languages.push_back(item->text() + "=" + item->data().toString());
    EXPECT_EQ(languages, (std::vector<QString>{"Русский=ru", "English=en", "Автоматически=auto"}));
}

TEST_F(AppDelegateTest, MenuAsBuiltWithTheModelMissingOrDamaged) {
    // A damaged model is offered for download again, as a missing one is.
    const std::vector<std::pair<const char*, std::function<void()>>> states = {
        {"missing", [] { std::filesystem::remove(Paths::modelURL()); }},
        {"a web page saved as the model", [] { writeText(Paths::modelURL(), "<!DOCTYPE html>"); }},
        {"cut short", [] { std::filesystem::resize_file(Paths::modelURL(), 1000); }},
    };
    for (const auto& [name, apply] : states) {
        SCOPED_TRACE(name);
        test::writeWeightlessWhisperModel(Paths::modelURL());
        apply();
        delegate.reset();
        launch();
        EXPECT_EQ(delegate->statusText(), "Сначала скачайте модель (меню ниже)");
        EXPECT_EQ(delegate->statusLineItem()->text(), "Сначала скачайте модель (меню ниже)");
        EXPECT_TRUE(delegate->downloadModelItem()->isVisible());
        EXPECT_TRUE(delegate->downloadModelItem()->isEnabled());
    }
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

    EXPECT_EQ(icon.toolTip, "Zorvel — Идёт запись — 1:00:05");

    // Recognition during the recording shows how far it has come, once it has come anywhere.
    recording->recognised = 0;
    delegate->tick();
    EXPECT_EQ(delegate->statusLineItem()->text(), "Идёт запись — 1:00:05");
    recording->recognised = 2480.7;
    delegate->tick();
    EXPECT_EQ(icon.title, " 1:00:05");
    EXPECT_EQ(delegate->statusLineItem()->text(), "Идёт запись — 1:00:05, распознано до 41:20");
    EXPECT_EQ(icon.toolTip, "Zorvel — Идёт запись — 1:00:05, распознано до 41:20");

    delegate->toggleRecording();
    EXPECT_EQ(recording->stops, 1);
    EXPECT_FALSE(delegate->isRecording());
    EXPECT_FALSE(delegate->hasTimer());
    // The transcription that follows shows as work in progress.
    EXPECT_EQ(icon.look, IconLook::working);
    EXPECT_EQ(icon.accessibilityText, "Транскрибирую…");
    EXPECT_EQ(icon.toolTip, "Zorvel — Транскрибирую…");
    EXPECT_EQ(icon.title, "");
    EXPECT_EQ(delegate->toggleItem()->text(), "Начать запись");
    EXPECT_EQ(delegate->statusText(), "Транскрибирую…");
    ASSERT_TRUE(waitForReport());
    EXPECT_EQ(icon.look, IconLook::idle);
    EXPECT_EQ(icon.toolTip, "Zorvel");

    const auto runs = transcriptionCalls();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].folder, recording->folder);
    EXPECT_EQ(runs[0].startedAt, recording->startedAt);
    EXPECT_EQ(delegate->statusText(), "Конспект готов");
    EXPECT_EQ(delegate->statusLineItem()->text(), "Конспект готов");
    ASSERT_EQ(notifier.sent.size(), 1u);
    EXPECT_EQ(notifier.sent[0], std::make_pair(QString("Конспект готов"), QString("2025-03-05 14-03-27")));
    // Clicking the notification opens the transcript.
    EXPECT_EQ(notifier.targets[0].toLocalFile().toStdString(), (recording->folder / "transcript.md").string());
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
    EXPECT_EQ(icon.toolTip, "Zorvel — Микрофон молчит — 0:00");
    ASSERT_EQ(notifier.sent.size(), 1u);
    EXPECT_EQ(notifier.sent[0].first, "Zorvel: микрофон молчит");
    EXPECT_EQ(notifier.sent[0].second, "Ваш голос не записывается. Проверьте устройство ввода в настройках звука.");

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
              "Микрофон недоступен. Звуковой сервер (PulseAudio или PipeWire), шаг «подключение к звуковому "
              "серверу»: Нет такой сущности. Проверьте, что звуковой сервер работает (pactl info) и что в "
              "настройках звука выбрано и включено устройство ввода.");
    // The code, which the message leaves out, is logged.
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0], "Не удалось начать запись: " + alerts.shown[0].informativeText.toStdString() +
                             " [libpulse, код 5; шаг: подключение к звуковому серверу]");
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
    EXPECT_EQ(icon.look, IconLook::working);
    EXPECT_EQ(icon.accessibilityText, "Скачиваю модель…");
    EXPECT_EQ(icon.toolTip, "Zorvel — Скачиваю модель… 0%");
    delegate->modelDownloader().onProgress(0.456);
    EXPECT_EQ(delegate->statusText(), "Скачиваю модель… 45%");
    EXPECT_EQ(icon.toolTip, "Zorvel — Скачиваю модель… 45%");
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
    // The details follow the heading without repeating it.
    EXPECT_FALSE(alerts.shown[0].informativeText.isEmpty());
    EXPECT_FALSE(alerts.shown[0].informativeText.contains("Не удалось скачать модель"))
        << alerts.shown[0].informativeText.toStdString();
    EXPECT_EQ(icon.look, IconLook::idle);
    EXPECT_EQ(icon.toolTip, "Zorvel");
    EXPECT_TRUE(delegate->downloadModelItem()->isEnabled());
    EXPECT_TRUE(delegate->downloadModelItem()->isVisible());

    logged.clear();
    delegate->modelDownloader().onFinish({});
    EXPECT_TRUE(logged.empty());
    EXPECT_FALSE(delegate->downloadModelItem()->isVisible());
    EXPECT_EQ(delegate->statusText(), "Готов к записи");
    ASSERT_EQ(notifier.sent.size(), 1u);
    EXPECT_EQ(notifier.sent[0], std::make_pair(QString("Модель скачана"), QString("Zorvel готов к работе.")));
}

TEST_F(AppDelegateTest, QuittingStopsTheRecordingAndTheNextStartOffersIt) {
    launch();
    startRecording();
    std::filesystem::create_directories(recording->folder);
    writeText(recording->folder / "system.caf", "audio");
    delegate->applicationWillTerminate();
    EXPECT_EQ(recording->stops, 1);
    EXPECT_TRUE(transcriptionCalls().empty());
    EXPECT_FALSE(delegate->isTranscribing());

    delegate.reset();
    launch();
    EXPECT_EQ(delegate->unfinishedCount(), 1);
    EXPECT_TRUE(delegate->unfinishedItem()->isVisible());
    EXPECT_EQ(delegate->unfinishedItem()->text(), "Транскрибировать незавершённые записи (1)");
}

TEST_F(AppDelegateTest, TranscriptionProgressShowsInTheTooltipAndRefinesOnlyItsOwnStatusLine) {
    launch();
    std::filesystem::create_directories(recording->folder);
    holdTranscriptions = true;
    progressReports = {{"Собеседник", 1, 2, 0, 0}};
    delegate->retranscribeLast();
    ASSERT_TRUE(waitFor([&] { return delegate->statusText() != "Транскрибирую…"; }));
    // Converting: the track is known, its length not yet.
    EXPECT_EQ(delegate->statusText(), "Транскрибирую… Собеседник, дорожка 1 из 2");
    EXPECT_EQ(icon.look, IconLook::working);

    reportProgress({"Собеседник", 1, 2, 62.9, 600.4});
    EXPECT_EQ(delegate->statusText(), "Транскрибирую… Собеседник, дорожка 1 из 2: 1:02 из 10:00");
    EXPECT_EQ(icon.toolTip, "Zorvel — Транскрибирую… Собеседник, дорожка 1 из 2: 1:02 из 10:00");
    // The recogniser's last segment may end a little past the measured length.
    reportProgress({"Я", 2, 2, 1207, 1200});
    EXPECT_EQ(icon.toolTip, "Zorvel — Транскрибирую… Я, дорожка 2 из 2: 20:00 из 20:00");

    // A recording started meanwhile owns the status line and the icon; the tooltip shows both.
    startRecording();
    reportProgress({"Я", 2, 2, 1210, 1800});
    EXPECT_EQ(delegate->statusLineItem()->text(), "Идёт запись — 0:00");
    EXPECT_EQ(icon.look, IconLook::recording);
    EXPECT_EQ(icon.toolTip, "Zorvel — Идёт запись — 0:00\nТранскрибирую… Я, дорожка 2 из 2: 20:10 из 30:00");

    releaseTranscriptions();
    ASSERT_TRUE(waitForReport());
    EXPECT_EQ(icon.look, IconLook::recording);
    EXPECT_EQ(icon.toolTip, "Zorvel — Идёт запись — 0:00");
}

TEST_F(AppDelegateTest, ATranscriptWithoutSpeechSaysSoAndItsNotificationOpensTheFolder) {
    speechFound = false;
    launch();
    startRecording();
    delegate->toggleRecording();
    ASSERT_TRUE(waitForReport());
    EXPECT_EQ(delegate->statusText(), "Конспект готов: речь не распознана");
    ASSERT_EQ(notifier.sent.size(), 1u);
    EXPECT_EQ(notifier.sent[0].first, "Конспект готов");
    EXPECT_EQ(notifier.sent[0].second, "2025-03-05 14-03-27: речь не распознана. Аудио осталось в папке записи.");
    EXPECT_EQ(notifier.targets[0].toLocalFile().toStdString(), recording->folder.string());
}

TEST_F(AppDelegateTest, UnfinishedRecordingsAreCountedAndTranscribedOneAfterAnother) {
    const auto root = Paths::recordingsRoot();
    const auto folder = [&](const std::string& name, std::vector<std::string> files) {
        std::filesystem::create_directories(root / name);
        for (const auto& file : files)
            writeText(root / name / file, "x");
        return root / name;
    };
    const auto older = folder("2025-01-01 10-00-00", {"mic.caf"});
    folder("2025-01-02 10-00-00", {"system.caf", "mic.caf", "transcript.md"});
    const auto locked = folder("2025-01-03 10-00-00", {"system.caf", ".zorvel.lock"});
    folder(".2025-01-04 hidden", {"mic.caf"});
    folder("2025-01-05 10-00-00", {"audio.m4a"});
    const auto newer = folder("2025-01-06 10-00-00", {"system.caf", "whisper.log"});
    std::filesystem::create_directory_symlink(older, root / "2025-01-07 link");
    folder("2025-01-08 10-00-00", {});
    std::filesystem::create_symlink(newer / "system.caf", folder("2025-01-09 10-00-00", {}) / "mic.caf");
    // Another process transcribes this one.
    const int lock = ::open((locked / ".zorvel.lock").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(lock, LOCK_EX), 0);

    launch();
    EXPECT_EQ(delegate->unfinishedCount(), 2);
    EXPECT_EQ(delegate->unfinishedItem()->text(), "Транскрибировать незавершённые записи (2)");
    EXPECT_TRUE(delegate->unfinishedItem()->isVisible());

    // The folder being recorded is not unfinished.
    startRecording();
    folder(recording->folder.filename().string(), {"system.caf", "mic.caf"});
    emit delegate->menu()->aboutToShow();
    EXPECT_EQ(delegate->unfinishedCount(), 2);

    ::close(lock);
    emit delegate->menu()->aboutToShow();
    EXPECT_EQ(delegate->unfinishedCount(), 3);

    // Without the model nothing starts, and the notice comes once.
    std::filesystem::remove(Paths::modelURL());
    delegate->transcribeUnfinished();
    EXPECT_EQ(alerts.shown.size(), 1u);
    EXPECT_TRUE(transcriptionCalls().empty());
    test::writeWeightlessWhisperModel(Paths::modelURL());

    holdTranscriptions = true;
    delegate->transcribeUnfinished();
    EXPECT_EQ(delegate->statusText(), "Транскрибирую запись 1 из 3…");
    EXPECT_FALSE(delegate->unfinishedItem()->isEnabled());
    EXPECT_FALSE(delegate->retranscribeItem()->isEnabled());
    releaseTranscriptions();
    ASSERT_TRUE(waitForReport());
    EXPECT_EQ(delegate->statusText(), "Транскрибирую запись 2 из 3…");
    ASSERT_TRUE(waitForReport());
    ASSERT_TRUE(waitForReport());
    EXPECT_FALSE(delegate->isTranscribing());

    const auto runs = transcriptionCalls();
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[0].folder, older);
    EXPECT_EQ(runs[1].folder, locked);
    EXPECT_EQ(runs[2].folder, newer);
    EXPECT_EQ(notifier.sent.size(), 3u);
    EXPECT_EQ(delegate->statusText(), "Конспект готов");
    EXPECT_EQ(delegate->unfinishedCount(), 0);
    EXPECT_FALSE(delegate->unfinishedItem()->isVisible());
}

TEST_F(AppDelegateTest, TheLastTranscriptOpensAfterARestart) {
    const auto root = Paths::recordingsRoot();
    for (const char* name : {"2025-01-01 10-00-00", "2025-01-02 10-00-00", "2025-01-03 10-00-00"})
        std::filesystem::create_directories(root / name);
    writeText(root / "2025-01-01 10-00-00" / "transcript.md", "old");
    writeText(root / "2025-01-02 10-00-00" / "transcript.md", "new");
    launch();
    EXPECT_TRUE(delegate->openTranscriptItem()->isEnabled());
    delegate->openLastTranscript();
    // A transcript deleted since then gives way to the next one.
    std::filesystem::remove(root / "2025-01-02 10-00-00" / "transcript.md");
    delegate->openLastTranscript();
    ASSERT_EQ(opener.opened.size(), 2u);
    EXPECT_EQ(opener.opened[0].toLocalFile().toStdString(), (root / "2025-01-02 10-00-00" / "transcript.md").string());
    EXPECT_EQ(opener.opened[1].toLocalFile().toStdString(), (root / "2025-01-01 10-00-00" / "transcript.md").string());
}

TEST_F(AppDelegateTest, StartAtLoginWritesAndRemovesTheAutostartEntry) {
    const auto entry = Autostart::entryURL();
    EXPECT_EQ(entry, std::filesystem::path(std::getenv("XDG_CONFIG_HOME")) / "autostart" / "zorvel.desktop");
    std::error_code ignored;
    std::filesystem::remove_all(entry.parent_path(), ignored);
    launch();
    delegate->startAtLoginItem()->trigger();
    EXPECT_TRUE(delegate->startAtLoginItem()->isChecked());
    const std::string contents = test::readText(entry);
    EXPECT_NE(contents.find("[Desktop Entry]\nType=Application\n"), std::string::npos) << contents;
    EXPECT_NE(contents.find("\nExec=" + Autostart::execValue(QCoreApplication::applicationFilePath().toStdString()) +
                            "\n"),
              std::string::npos)
        << contents;
    EXPECT_NE(contents.find("\nIcon=zorvel\n"), std::string::npos);

    delegate->startAtLoginItem()->trigger();
    EXPECT_FALSE(delegate->startAtLoginItem()->isChecked());
    EXPECT_FALSE(std::filesystem::exists(entry));

    // The session settings of some desktops switch an entry off instead of removing it.
    writeText(entry, "[Desktop Entry]\nExec=zorvel\nHidden=true\n");
    emit delegate->menu()->aboutToShow();
    EXPECT_FALSE(delegate->startAtLoginItem()->isChecked());
    writeText(entry, "[Desktop Entry]\nExec=zorvel\nX-GNOME-Autostart-enabled=false\n");
    EXPECT_FALSE(Autostart::isEnabled());
    writeText(entry, "[Desktop Entry]\nExec=zorvel\n[Desktop Action x]\nHidden=true\n");
    EXPECT_TRUE(Autostart::isEnabled());

    // A folder that cannot be made is reported, and the item stays as it was.
    std::filesystem::remove_all(entry.parent_path());
    writeText(entry.parent_path(), "not a folder");
    delegate->startAtLoginItem()->trigger();
    EXPECT_FALSE(delegate->startAtLoginItem()->isChecked());
    ASSERT_EQ(alerts.shown.size(), 1u);
    EXPECT_EQ(alerts.shown[0].message, "Не удалось включить запуск при входе");
    std::filesystem::remove(entry.parent_path());
}

TEST(Autostart, ExecValueQuotesAndEscapesThePath) {
    const std::pair<std::string, std::string> cases[] = {
        {"/usr/bin/zorvel", "/usr/bin/zorvel"},
        {"/opt/My Apps/zorvel", "\"/opt/My Apps/zorvel\""},
        {"/opt/100%/zorvel", "/opt/100%%/zorvel"},
        {"/opt/a\"b$c`d/zorvel", "\"/opt/a\\\\\"b\\\\$c\\\\`d/zorvel\""},
        {"/opt/a\\b/zorvel", "\"/opt/a\\\\\\\\b/zorvel\""},
        {"/home/я/Программы/zorvel", "/home/я/Программы/zorvel"},
    };
    for (const auto& [path, exec] : cases)
        EXPECT_EQ(Autostart::execValue(path), exec) << path;
}

TEST_F(AppDelegateTest, AnotherStartIsToldWhatThisOneDoes) {
    launch();
    startRecording();
    delegate->anotherInstanceStarted();
    ASSERT_EQ(notifier.sent.size(), 1u);
    EXPECT_EQ(notifier.sent[0].first, "Zorvel уже запущен");
    EXPECT_EQ(notifier.sent[0].second, "Идёт запись — 0:00. Меню открывается щелчком по значку Zorvel на панели.");
}

// The session bus of scripts/test; each test process uses a name of its own.
TEST(SingleInstance, TheSecondClaimTellsTheFirstAndTheFirstMayEndAndFreeTheName) {
    startApplication();
    if (!QDBusConnection::sessionBus().isConnected())
        GTEST_SKIP() << "needs a session bus (scripts/test starts one)";
    const QString name = "org.zorvel.Test" + QString::number(::getpid());
    auto first = std::make_unique<SingleInstance>(QDBusConnection::connectToBus(QDBusConnection::SessionBus, "first"),
                                                  name);
    int activations = 0;
    QObject::connect(first.get(), &SingleInstance::activated, [&] { ++activations; });
    ASSERT_EQ(first->claim(), SingleInstance::Claim::primary);

    // The second start runs in a process of its own; here a thread with its own connection.
    const auto claimElsewhere = [&](const QString& connectionName) {
        std::promise<SingleInstance::Claim> claimed;
        auto answer = claimed.get_future();
        std::thread([&] {
            {
                SingleInstance second(QDBusConnection::connectToBus(QDBusConnection::SessionBus, connectionName), name);
                claimed.set_value(second.claim());
            }
            QDBusConnection::disconnectFromBus(connectionName);
        }).detach();
        QElapsedTimer timer;
        timer.start();
        while (answer.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready && timer.elapsed() < 15000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        return answer.get();
    };
    EXPECT_EQ(claimElsewhere("second"), SingleInstance::Claim::toldRunning);
    EXPECT_EQ(activations, 1);

    // The first ends: its connection goes, and with it the name.
    first.reset();
    QDBusConnection::disconnectFromBus("first");
    auto connection = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "first-again");
    SingleInstance again(connection, name);
    EXPECT_EQ(again.claim(), SingleInstance::Claim::primary);
    static_cast<void>(connection.interface()->unregisterService(name));
}

} // namespace
} // namespace zorvel
