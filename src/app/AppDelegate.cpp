#include "app/AppDelegate.h"

#include "model/ModelPaths.h"
#include "support/FileTimes.h"
#include "support/Files.h"
#include "support/FormatDuration.h"
#include "support/Paths.h"
#include "support/Settings.h"

#include <QCoreApplication>
#include <QKeySequence>
#include <algorithm>
#include <thread>
#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

namespace zorvel {

namespace {

constexpr double silentMicrophoneSeconds = 75.0;

struct LanguageChoice {
    const char* title;
    const char* code;
};
constexpr LanguageChoice languages[] = {{"Русский", "ru"}, {"English", "en"}, {"Автоматически", "auto"}};

QString qPath(const std::filesystem::path& path) { return QString::fromStdString(path.string()); }

bool modelIsPresent() { return fileExists(Paths::modelURL()); }

// Names compare in code-point order of their canonically composed forms.
std::string composed(const std::string& name) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status))
        return name;
    const icu::UnicodeString text = nfc->normalize(icu::UnicodeString::fromUTF8(name), status);
    if (U_FAILURE(status))
        return name;
    std::string out;
    text.toUTF8String(out);
    return out;
}

} // namespace

AppDelegate::AppDelegate(AppServices services, QObject* parent) : QObject(parent), m_services(std::move(services)) {
    m_statusLine = new QAction(m_statusText, &m_menu);
}

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching() {
    m_services.statusIcon->setLook(IconLook::idle, "Zorvel");
    m_services.statusIcon->setTitle({});

    m_statusLine->setEnabled(false);
    m_menu.addAction(m_statusLine);
    m_menu.addSeparator();

    m_toggleItem = m_menu.addAction("Начать запись", this, &AppDelegate::toggleRecording);
    m_toggleItem->setShortcut(QKeySequence("Ctrl+R"));
    m_openTranscriptItem = m_menu.addAction("Открыть последний конспект", this, &AppDelegate::openLastTranscript);
    m_openTranscriptItem->setEnabled(false);
    m_retranscribeItem = m_menu.addAction("Транскрибировать последнюю запись", this, &AppDelegate::retranscribeLast);
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

    m_downloadModelItem = m_menu.addAction("Скачать модель распознавания (1,6 ГБ)", this, &AppDelegate::downloadModel);
    m_downloadModelItem->setVisible(!modelIsPresent());

    m_menu.addSeparator();
    QAction* quit = m_menu.addAction("Завершить Zorvel", this, &AppDelegate::quitRequested);
    quit->setShortcut(QKeySequence("Ctrl+Q"));

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

void AppDelegate::setStatusLine(const QString& text) {
    m_statusText = text;
    showStatusLine();
}

// A tray item has no room for text, so the recording clock also shows in the status line.
void AppDelegate::setClockTitle(const QString& title) {
    m_clockTitle = title;
    m_services.statusIcon->setTitle(title);
    showStatusLine();
}

void AppDelegate::showStatusLine() {
    m_statusLine->setText(m_clockTitle.isEmpty() ? m_statusText : m_statusText + " —" + m_clockTitle);
}

void AppDelegate::alert(AlertStyle style, const QString& message, const QString& informativeText) {
    m_services.alerts->show(style, message, informativeText);
}

void AppDelegate::notify(const QString& title, const QString& body) { m_services.notifier->notify(title, body); }

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
    m_services.statusIcon->setLook(IconLook::recording, "Идёт запись");
    setClockTitle(" 0:00");
    m_micWarned = false;
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
        m_services.statusIcon->setLook(IconLook::warning, "Микрофон молчит");
        notify("Zorvel: микрофон молчит",
               "Ваш голос не записывается. Проверьте устройство ввода в Настройках → Звук.");
    } else if (m_micWarned) {
        m_micWarned = false;
        setStatusLine("Идёт запись");
        m_services.statusIcon->setLook(IconLook::recording, "Идёт запись");
    }
}

void AppDelegate::stopRecording() {
    if (!m_session)
        return;
    m_session->stop();
    const std::unique_ptr<Recording> stopped = std::move(m_session);
    m_timer.reset();
    m_services.statusIcon->setLook(IconLook::idle, "Zorvel");
    setClockTitle({});
    m_toggleItem->setText("Начать запись");
    transcribe(stopped->folderURL(), stopped->startedAt());
}

// Transcription.

void AppDelegate::transcribe(const std::filesystem::path& folder, TimePoint startedAt) {
    if (m_isTranscribing)
        return;
    if (!modelIsPresent()) {
        setStatusLine("Запись сохранена, модель не скачана");
        alert(AlertStyle::informational, "Запись сохранена",
              "Аудио лежит в " + qPath(folder) +
                  ". Скачайте модель через меню Zorvel и выберите «Транскрибировать последнюю запись».");
        return;
    }
    m_isTranscribing = true;
    setStatusLine("Транскрибирую…");
    m_retranscribeItem->setEnabled(false);
    const std::string language = Settings::effectiveTranscriptionLanguage();

    // A plain thread rather than a pool: quitting must not wait for a run, which ends with the process.
    std::thread([run = m_services.runTranscription, language, folder, startedAt, guard = QPointer<AppDelegate>(this)] {
        auto result = run(language, folder, startedAt);
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [guard, result = std::move(result), folder] {
                if (guard)
                    guard->transcriptionDidFinish(result, folder);
            },
            Qt::QueuedConnection);
    }).detach();
}

void AppDelegate::transcriptionDidFinish(const Result<std::filesystem::path>& result, const std::filesystem::path& folder) {
    m_isTranscribing = false;
    m_retranscribeItem->setEnabled(true);
    if (result) {
        m_lastTranscriptURL = *result;
        m_openTranscriptItem->setEnabled(true);
        setStatusLine("Конспект готов");
        notify("Конспект готов", QString::fromStdString(folder.filename().string()));
    } else {
        log("Транскрибация «" + folder.string() + "» не удалась: " + result.error().logText());
        setStatusLine("Ошибка транскрибации");
        alert(AlertStyle::warning, "Транскрибация не удалась. Аудио сохранено в " + qPath(folder),
              QString::fromStdString(result.error().description()));
    }
    emit transcriptionReported();
}

std::optional<std::filesystem::path> AppDelegate::newestRecordingFolder(const std::filesystem::path& except) {
    std::vector<std::pair<std::string, std::filesystem::path>> folders;
    std::error_code error;
    for (std::filesystem::directory_iterator it(Paths::recordingsRoot(), error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.starts_with('.'))
            continue;
        std::error_code statusError;
        if (!std::filesystem::is_directory(it->symlink_status(statusError)) || statusError)
            continue;
        std::error_code sameError;
        if (!except.empty() && std::filesystem::equivalent(it->path(), except, sameError))
            continue;
        folders.emplace_back(composed(name), it->path());
    }
    if (folders.empty())
        return std::nullopt;
    std::stable_sort(folders.begin(), folders.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    return folders.back().second;
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

void AppDelegate::openLastTranscript() {
    if (m_lastTranscriptURL)
        m_services.opener->open(QUrl::fromLocalFile(qPath(*m_lastTranscriptURL)));
}

void AppDelegate::openRecordingsFolder() {
    const auto root = Paths::recordingsRoot();
    std::error_code ignored;
    std::filesystem::create_directories(root, ignored);
    m_services.opener->open(QUrl::fromLocalFile(qPath(root)));
}

// Model download.

void AppDelegate::downloadModel() {
    if (m_modelDownloader.isDownloading())
        return;
    m_downloadModelItem->setEnabled(false);
    setStatusLine("Скачиваю модель… 0%");
    const QPointer<AppDelegate> guard(this);
    m_modelDownloader.onProgress = [guard](double fraction) {
        if (!guard)
            return;
        const auto percent = static_cast<long long>(fraction * 100.0);
        guard->setStatusLine("Скачиваю модель… " + QString::number(percent) + "%");
    };
    m_modelDownloader.onFinish = [guard](const Result<void>& outcome) {
        if (!guard)
            return;
        if (!outcome) {
            guard->log(outcome.error().logText());
            guard->m_downloadModelItem->setEnabled(true);
            guard->setStatusLine("Не удалось скачать модель");
            guard->alert(AlertStyle::warning, "Не удалось скачать модель",
                         QString::fromStdString(outcome.error().description()));
            return;
        }
        guard->m_downloadModelItem->setVisible(false);
        guard->setStatusLine("Готов к записи");
        guard->notify("Модель скачана", "Zorvel готов к работе.");
    };
    m_modelDownloader.start();
}

} // namespace zorvel
