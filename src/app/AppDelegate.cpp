#include "app/AppDelegate.h"

#include "app/Autostart.h"
#include "app/RecordingFolders.h"
#include "model/ModelFileCheck.h"
#include "model/ModelPaths.h"
#include "support/FileTimes.h"
#include "support/Files.h"
#include "support/FolderLock.h"
#include "support/FormatDuration.h"
#include "support/Paths.h"
#include "support/Settings.h"

#include <QCoreApplication>
#include <QKeySequence>
#include <algorithm>
#include <cmath>
#include <thread>

namespace zorvel {

namespace {

constexpr double silentMicrophoneSeconds = 75.0;

struct LanguageChoice {
    const char* title;
    const char* code;
};
constexpr LanguageChoice languages[] = {{"Русский", "ru"}, {"English", "en"}, {"Автоматически", "auto"}};

QString qPath(const std::filesystem::path& path) { return QString::fromStdString(path.string()); }

QUrl fileURL(const std::filesystem::path& path) { return QUrl::fromLocalFile(qPath(path)); }

// A damaged model counts as missing, so that the menu offers the download again.
bool modelIsPresent() { return checkWhisperModel(Paths::modelURL()).isPresent(); }

QString clockText(double seconds) {
    return QString::fromStdString(formatDuration(static_cast<std::int64_t>(std::max(0.0, seconds))));
}

// Key equivalents work on macOS, where the menu bar owns the keyboard while its menu is open. A
// tray menu on Linux is drawn by the panel, which shows such hints but never acts on them, and a
// global Ctrl+R or Ctrl+Q would take reload and quit away from every other application.
void setKeyEquivalent([[maybe_unused]] QAction* item, [[maybe_unused]] const char* key) {
#if defined(__APPLE__)
    item->setShortcut(QKeySequence(key));
#endif
}

} // namespace

AppDelegate::AppDelegate(AppServices services, QObject* parent) : QObject(parent), m_services(std::move(services)) {
    m_statusLine = new QAction(m_statusText, &m_menu);
}

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching() {
    refreshLook();
    m_services.statusIcon->setTitle({});

    m_statusLine->setEnabled(false);
    m_menu.addAction(m_statusLine);
    m_menu.addSeparator();

    m_toggleItem = m_menu.addAction("Начать запись", this, &AppDelegate::toggleRecording);
    setKeyEquivalent(m_toggleItem, "Ctrl+R");
    m_openTranscriptItem = m_menu.addAction("Открыть последний конспект", this, &AppDelegate::openLastTranscript);
    // The newest transcript on disk, so that the item works after a restart too.
    m_lastTranscriptURL = RecordingFolders::latestTranscript();
    m_openTranscriptItem->setEnabled(m_lastTranscriptURL.has_value());
    m_retranscribeItem = m_menu.addAction("Транскрибировать последнюю запись", this, &AppDelegate::retranscribeLast);
    m_unfinishedItem = m_menu.addAction(QString(), this, &AppDelegate::transcribeUnfinished);
    m_menu.addAction("Открыть папку записей", this, &AppDelegate::openRecordingsFolder);
    m_menu.addSeparator();

    m_languageMenu = new QMenu("Язык транскрибации", &m_menu);
    m_languageGroup = new QActionGroup(m_languageMenu);
    // A stored code outside the list checks no item at all.
    m_languageGroup->setExclusionPolicy(QActionGroup::ExclusionPolicy::ExclusiveOptional);
    for (const auto& [title, code] : languages) {
        QAction* item = m_languageMenu->addAction(title);
        item->setData(QString(code));
        item->setCheckable(true);
        m_languageGroup->addAction(item);
        connect(item, &QAction::triggered, this, [this, item] { setLanguage(item); });
    }
    m_menu.addMenu(m_languageMenu);
    refreshLanguageChecks();

    m_startAtLoginItem = m_menu.addAction("Запускать при входе в систему");
    m_startAtLoginItem->setCheckable(true);
    refreshStartAtLogin();
    connect(m_startAtLoginItem, &QAction::triggered, this, &AppDelegate::setStartAtLogin);

    // Takes effect from the next recording; weak machines turn it off and recognise after the stop.
    m_recogniseWhileRecordingItem = m_menu.addAction("Распознавать во время записи");
    m_recogniseWhileRecordingItem->setCheckable(true);
    m_recogniseWhileRecordingItem->setChecked(Settings::recogniseWhileRecording());
    connect(m_recogniseWhileRecordingItem, &QAction::triggered, this,
            [](bool enabled) { Settings::setRecogniseWhileRecording(enabled); });

    m_downloadModelItem = m_menu.addAction("Скачать модель распознавания (1,6 ГБ)", this, &AppDelegate::downloadModel);
    m_downloadModelItem->setVisible(!modelIsPresent());

    m_menu.addSeparator();
    QAction* quit = m_menu.addAction("Завершить Zorvel", this, &AppDelegate::quitRequested);
    setKeyEquivalent(quit, "Ctrl+Q");

    // Recordings can appear or finish behind our back (another instance, the command line).
    connect(&m_menu, &QMenu::aboutToShow, this, [this] {
        refreshUnfinished();
        refreshStartAtLogin();
    });
    refreshUnfinished();

    m_services.statusIcon->attachMenu(&m_menu);
    if (!modelIsPresent())
        setStatusLine("Сначала скачайте модель (меню ниже)");
}

void AppDelegate::applicationWillTerminate() {
    if (m_session)
        m_session->stop();
}

void AppDelegate::refreshLanguageChecks() {
    const QString stored = QString::fromStdString(Settings::effectiveTranscriptionLanguage());
    for (QAction* item : m_languageMenu->actions())
        item->setChecked(item->data().typeId() == QMetaType::QString && item->data().toString() == stored);
}

void AppDelegate::setLanguage(QAction* item) {
    if (!item || item->data().typeId() != QMetaType::QString) {
        refreshLanguageChecks();
        return;
    }
    Settings::setTranscriptionLanguage(item->data().toString().toStdString());
    refreshLanguageChecks();
}

void AppDelegate::refreshStartAtLogin() { m_startAtLoginItem->setChecked(Autostart::isEnabled()); }

void AppDelegate::setStartAtLogin(bool enabled) {
    const auto executable = std::filesystem::path(QCoreApplication::applicationFilePath().toStdString());
    const Result<void> changed = enabled ? Autostart::enable(executable) : Autostart::disable();
    if (!changed)
        alert(AlertStyle::warning,
              enabled ? "Не удалось включить запуск при входе" : "Не удалось выключить запуск при входе",
              QString::fromStdString(changed.error().description()));
    refreshStartAtLogin();
}

void AppDelegate::setStatusLine(const QString& text, StatusSource source) {
    m_statusText = text;
    m_statusSource = source;
    showStatusLine();
}

// A tray item has no room for text, so the recording clock also shows in the status line.
void AppDelegate::setClockTitle(const QString& title) {
    m_clockTitle = title;
    m_services.statusIcon->setTitle(title);
    showStatusLine();
    refreshLook();
}

void AppDelegate::showStatusLine() {
    QString text = m_clockTitle.isEmpty() ? m_statusText : m_statusText + " —" + m_clockTitle;
    if (m_session && !m_recognisedText.isEmpty())
        text += ", " + m_recognisedText;
    m_statusLine->setText(text);
}

void AppDelegate::refreshLook() {
    QString toolTip = "Zorvel";
    QStringList work;
    if (m_isTranscribing)
        work << m_transcriptionText;
    if (m_modelDownloader.isDownloading())
        work << m_downloadText;

    if (m_session) {
        const QString state = m_micWarned ? "Микрофон молчит" : "Идёт запись";
        m_services.statusIcon->setLook(m_micWarned ? IconLook::warning : IconLook::recording, state);
        toolTip += " — " + state;
        if (!m_clockTitle.trimmed().isEmpty())
            toolTip += " — " + m_clockTitle.trimmed();
        if (!m_recognisedText.isEmpty())
            toolTip += ", " + m_recognisedText;
    } else if (!work.isEmpty()) {
        m_services.statusIcon->setLook(IconLook::working,
                                       m_isTranscribing ? "Транскрибирую…" : "Скачиваю модель…");
    } else {
        m_services.statusIcon->setLook(IconLook::idle, "Zorvel");
    }
    if (!m_session && work.size() == 1)
        toolTip += " — " + work.front();
    else
        for (const QString& line : work)
            toolTip += "\n" + line;
    m_services.statusIcon->setToolTip(toolTip);
}

// An alert whose details begin with its own heading shows the heading once.
void AppDelegate::alert(AlertStyle style, const QString& message, const QString& informativeText) {
    QString details = informativeText;
    if (details.startsWith(message + ": ")) {
        details = details.mid(message.size() + 2);
        if (!details.isEmpty())
            details[0] = details[0].toUpper();
    }
    m_services.alerts->show(style, message, details);
}

void AppDelegate::notify(const QString& title, const QString& body, const QUrl& target) {
    m_services.notifier->notify(title, body, target);
}

void AppDelegate::anotherInstanceStarted() {
    notify("Zorvel уже запущен",
           m_statusLine->text() + ". Меню открывается щелчком по значку Zorvel на панели.");
}

void AppDelegate::log(const std::string& line) const {
    if (m_services.log)
        m_services.log(line);
}

// Recording.

void AppDelegate::toggleRecording() {
    if (m_session)
        stopRecording();
    else
        startRecording();
}

void AppDelegate::startRecording() {
    m_toggleItem->setEnabled(false);
    const bool micEnabled = m_services.requestMicrophoneAccess();
    auto created = m_services.createRecording(micEnabled);
    Result<void> started = created ? (*created)->start() : Result<void>(failure(created.error()));
    if (!started) {
        log("Не удалось начать запись: " + started.error().logText());
        alert(AlertStyle::warning, "Не удалось начать запись", QString::fromStdString(started.error().description()));
        setStatusLine("Готов к записи");
        m_toggleItem->setEnabled(true);
        return;
    }
    m_session = std::move(*created);
    m_toggleItem->setText("Остановить запись");
    setStatusLine(micEnabled ? "Идёт запись" : "Идёт запись (микрофон запрещён!)");
    m_micWarned = false;
    setClockTitle(" 0:00");
    startTimer();
    m_toggleItem->setEnabled(true);
}

void AppDelegate::startTimer() {
    m_timer = std::make_unique<QTimer>();
    m_timer->setInterval(1000);
    connect(m_timer.get(), &QTimer::timeout, this, &AppDelegate::tick);
    m_timer->start();
}

void AppDelegate::tick() {
    if (!m_session)
        return;
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::seconds>(m_services.now() - m_session->startedAt()).count();
    const auto recognised = m_session->recognisedSeconds();
    m_recognisedText = recognised && *recognised > 0
                           ? "распознано до " + QString::fromStdString(formatDuration(static_cast<std::int64_t>(*recognised)))
                           : QString();
    setClockTitle(" " + QString::fromStdString(formatDuration(elapsed)));
    checkMicrophone(*m_session);
}

void AppDelegate::checkMicrophone(Recording& session) {
    if (!session.micEnabled())
        return;
    const double silence = session.secondsSinceLastSound();
    const bool silent = silence > silentMicrophoneSeconds || session.micBroken();
    if (silent) {
        setStatusLine("Запись идёт, но микрофон молчит " + QString::number(static_cast<long long>(silence)) + " с");
        if (m_micWarned)
            return;
        m_micWarned = true;
        refreshLook();
#if defined(__APPLE__)
        notify("Zorvel: микрофон молчит",
               "Ваш голос не записывается. Проверьте устройство ввода в Настройках → Звук.");
#else
        notify("Zorvel: микрофон молчит",
               "Ваш голос не записывается. Проверьте устройство ввода в настройках звука.");
#endif
    } else if (m_micWarned) {
        m_micWarned = false;
        setStatusLine("Идёт запись");
        refreshLook();
    }
}

void AppDelegate::stopRecording() {
    if (!m_session)
        return;
    m_session->stop();
    const std::unique_ptr<Recording> stopped = std::move(m_session);
    m_recognisedText.clear();
    m_timer.reset();
    setClockTitle({});
    m_toggleItem->setText("Начать запись");
    transcribe(stopped->folderURL(), stopped->startedAt());
    // A recording that is not transcribed now (another run is going) waits among the unfinished.
    refreshUnfinished();
}

// Transcription.

void AppDelegate::transcribe(const std::filesystem::path& folder, TimePoint startedAt) {
    startTranscription(folder, startedAt);
}

bool AppDelegate::startTranscription(const std::filesystem::path& folder, TimePoint startedAt) {
    if (m_isTranscribing)
        return false;
    if (!modelIsPresent()) {
        setStatusLine("Запись сохранена, модель не скачана");
        alert(AlertStyle::informational, "Запись сохранена",
              "Аудио лежит в " + qPath(folder) +
                  ". Скачайте модель через меню Zorvel и выберите «Транскрибировать последнюю запись».");
        return false;
    }
    m_isTranscribing = true;
    m_transcribingFolder = folder;
    const int run = ++m_run;
    m_transcriptionText = transcriptionText(std::nullopt);
    setStatusLine(m_transcriptionText, StatusSource::transcription);
    m_retranscribeItem->setEnabled(false);
    m_unfinishedItem->setEnabled(false);
    refreshLook();
    const std::string language = Settings::effectiveTranscriptionLanguage();

    const QPointer<AppDelegate> guard(this);
    // Progress reports are posted to the main thread in order, ahead of the result.
    auto progress = [guard, run](const TranscriptionProgress& report) {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [guard, run, report] {
                if (guard)
                    guard->transcriptionDidProgress(run, report);
            },
            Qt::QueuedConnection);
    };
    // A plain thread rather than a pool: quitting must not wait for a run, which ends with the process.
    std::thread([run = m_services.runTranscription, progress = std::move(progress), language, folder, startedAt,
                 guard] {
        auto result = run(language, folder, startedAt, progress);
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [guard, result = std::move(result), folder] {
                if (guard)
                    guard->transcriptionDidFinish(result, folder);
            },
            Qt::QueuedConnection);
    }).detach();
    return true;
}

QString AppDelegate::transcriptionText(const std::optional<TranscriptionProgress>& progress) const {
    QString text = "Транскрибирую…";
    if (m_batchSize > 1) {
        const int number = m_batchSize - static_cast<int>(m_pendingFolders.size());
        text = "Транскрибирую запись " + QString::number(number) + " из " + QString::number(m_batchSize) + "…";
    }
    if (!progress)
        return text;
    text += " " + QString::fromStdString(progress->speaker) + ", дорожка " + QString::number(progress->trackIndex) +
            " из " + QString::number(progress->trackCount);
    if (progress->trackSeconds > 0)
        text += ": " + clockText(std::min(progress->recognisedSeconds, progress->trackSeconds)) + " из " +
                clockText(progress->trackSeconds);
    return text;
}

void AppDelegate::transcriptionDidProgress(int run, const TranscriptionProgress& progress) {
    if (!m_isTranscribing || run != m_run)
        return;
    m_transcriptionText = transcriptionText(progress);
    // Refines "Транскрибирую…" but never replaces what a later event wrote into the status line.
    if (m_statusSource == StatusSource::transcription)
        setStatusLine(m_transcriptionText, StatusSource::transcription);
    refreshLook();
    emit transcriptionProgressShown();
}

void AppDelegate::transcriptionDidFinish(const Result<TranscriptionOutcome>& result,
                                         const std::filesystem::path& folder) {
    m_isTranscribing = false;
    m_transcribingFolder.clear();
    m_retranscribeItem->setEnabled(true);
    m_unfinishedItem->setEnabled(true);
    refreshLook();
    const QString name = QString::fromStdString(folder.filename().string());
    if (result) {
        m_lastTranscriptURL = result->transcriptURL;
        m_openTranscriptItem->setEnabled(true);
        if (result->speechFound) {
            setStatusLine("Конспект готов");
            notify("Конспект готов", name, fileURL(result->transcriptURL));
        } else {
            // The captures stay in the folder: that is where the user looks for what went wrong.
            setStatusLine("Конспект готов: речь не распознана");
            notify("Конспект готов", name + ": речь не распознана. Аудио осталось в папке записи.", fileURL(folder));
        }
    } else {
        log("Транскрибация «" + folder.string() + "» не удалась: " + result.error().logText());
        setStatusLine("Ошибка транскрибации");
        alert(AlertStyle::warning, "Транскрибация не удалась. Аудио сохранено в " + qPath(folder),
              QString::fromStdString(result.error().description()));
    }
    refreshUnfinished();
    emit transcriptionReported();
    transcribeNextPending();
}

std::optional<std::filesystem::path> AppDelegate::newestRecordingFolder(const std::filesystem::path& except) {
    return RecordingFolders::newest(except);
}

void AppDelegate::retranscribeLast() {
    // The folder a running recording still writes is never transcribed: its captures would be
    // read half-written and, after speech was found, deleted. The newest finished one is taken.
    const auto folder = newestRecordingFolder(m_session ? m_session->folderURL() : std::filesystem::path());
    if (!folder) {
        alert(AlertStyle::informational, "Нет записей",
              "В папке " + qPath(Paths::recordingsRoot()) + " пока нет записей.");
        return;
    }
    transcribe(*folder, creationTime(*folder).value_or(m_services.now()));
}

void AppDelegate::refreshUnfinished() {
    std::vector<std::filesystem::path> busy;
    if (m_session)
        busy.push_back(m_session->folderURL());
    if (!m_transcribingFolder.empty())
        busy.push_back(m_transcribingFolder);
    const auto folders = RecordingFolders::unfinished(busy);
    m_unfinishedCount = static_cast<int>(folders.size());
    m_unfinishedItem->setText("Транскрибировать незавершённые записи (" + QString::number(m_unfinishedCount) + ")");
    m_unfinishedItem->setVisible(m_unfinishedCount > 0);
}

void AppDelegate::transcribeUnfinished() {
    if (m_isTranscribing)
        return;
    std::vector<std::filesystem::path> busy;
    if (m_session)
        busy.push_back(m_session->folderURL());
    const auto folders = RecordingFolders::unfinished(busy);
    if (folders.empty()) {
        refreshUnfinished();
        return;
    }
    m_pendingFolders.assign(folders.begin(), folders.end());
    m_batchSize = static_cast<int>(m_pendingFolders.size());
    transcribeNextPending();
}

void AppDelegate::transcribeNextPending() {
    while (!m_pendingFolders.empty() && !m_isTranscribing) {
        const auto folder = m_pendingFolders.front();
        m_pendingFolders.pop_front();
        // Since the batch began, a folder may have been transcribed elsewhere or taken up again.
        if (!RecordingFolders::isUnfinished(folder) || isFolderLocked(folder) ||
            (m_session && folder == m_session->folderURL()))
            continue;
        if (!startTranscription(folder, creationTime(folder).value_or(m_services.now()))) {
            // No model: it said so once; the rest of the batch waits for another try.
            m_pendingFolders.clear();
        }
    }
    if (m_pendingFolders.empty() && !m_isTranscribing)
        m_batchSize = 0;
}

void AppDelegate::openLastTranscript() {
    if (m_lastTranscriptURL && !fileExists(*m_lastTranscriptURL))
        m_lastTranscriptURL = RecordingFolders::latestTranscript();
    if (m_lastTranscriptURL)
        m_services.opener->open(fileURL(*m_lastTranscriptURL));
}

void AppDelegate::openRecordingsFolder() {
    const auto root = Paths::recordingsRoot();
    std::error_code ignored;
    std::filesystem::create_directories(root, ignored);
    m_services.opener->open(fileURL(root));
}

// Model download.

void AppDelegate::downloadModel() {
    if (m_modelDownloader.isDownloading())
        return;
    m_downloadModelItem->setEnabled(false);
    m_downloadText = "Скачиваю модель… 0%";
    setStatusLine(m_downloadText);
    const QPointer<AppDelegate> guard(this);
    m_modelDownloader.onProgress = [guard](double fraction) {
        if (!guard)
            return;
        const auto percent = static_cast<long long>(fraction * 100.0);
        guard->m_downloadText = "Скачиваю модель… " + QString::number(percent) + "%";
        guard->setStatusLine(guard->m_downloadText);
        guard->refreshLook();
    };
    m_modelDownloader.onFinish = [guard](const Result<void>& outcome) {
        if (!guard)
            return;
        guard->refreshLook();
        if (!outcome) {
            guard->log(outcome.error().logText());
            guard->m_downloadModelItem->setEnabled(true);
            guard->setStatusLine("Не удалось скачать модель");
            guard->alert(AlertStyle::warning, "Не удалось скачать модель",
                         QString::fromStdString(outcome.error().description()));
            return;
        }
        // Without the voice-activity model transcription still works, only slower on pauses.
        if (const auto& vadFailure = guard->m_modelDownloader.voiceActivityFailure())
            guard->log(vadFailure->logText());
        guard->m_downloadModelItem->setVisible(false);
        guard->setStatusLine("Готов к записи");
        guard->notify("Модель скачана", "Zorvel готов к работе.");
    };
    m_modelDownloader.start();
    refreshLook();
}

} // namespace zorvel
