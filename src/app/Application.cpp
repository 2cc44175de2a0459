#include "app/Application.h"

#include "app/AppDelegate.h"
#include "app/DesktopServices.h"
#include "app/SingleInstance.h"
#include "pipeline/BackgroundRecognition.h"
#include "pipeline/Transcriber.h"
#include "recording/RecordingSession.h"
#include "support/ChildProcess.h"
#include "support/FileDescriptor.h"
#include "support/Settings.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <QTranslator>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <unistd.h>

namespace zorvel {

namespace {

// A RecordingSession as the controller sees it. A session dropped while running stops itself, so
// its files are complete.
class SessionRecording final : public Recording {
public:
    explicit SessionRecording(std::unique_ptr<RecordingSession> session) : m_session(std::move(session)) {}

    // Then, unless the setting is off, finished stretches are recognised in the background.
    Result<void> start() override {
        TRY(m_session->start());
        if (Settings::recogniseWhileRecording()) {
            const auto folder = m_session->folderURL();
            std::vector<BackgroundTrack> tracks = {{"system", folder / "system.caf", m_session->systemLevels()}};
            if (m_session->micEnabled())
                tracks.push_back({"mic", folder / "mic.caf", m_session->micLevels()});
            m_background = std::make_unique<BackgroundRecognition>(
                folder, std::move(tracks), [language = Settings::effectiveTranscriptionLanguage()] {
                    return BackgroundRecognition::lookUpRecogniser(language);
                });
        }
        return {};
    }
    // Background recognition first: the stretch under way is left to the transcription, which
    // may take the folder once the session has let it go.
    void stop() override {
        m_background.reset();
        m_session->stop();
    }
    std::filesystem::path folderURL() const override { return m_session->folderURL(); }
    TimePoint startedAt() const override { return m_session->startedAt(); }
    bool micEnabled() const override { return m_session->micEnabled(); }
    double secondsSinceLastSound() const override { return m_session->secondsSinceLastSound(); }
    bool micBroken() const override { return m_session->micBroken(); }
    std::optional<double> recognisedSeconds() const override {
        return m_background ? std::optional(m_background->recognisedSeconds()) : std::nullopt;
    }

private:
    std::unique_ptr<RecordingSession> m_session;
    std::unique_ptr<BackgroundRecognition> m_background; // goes before the session stops
};

// SIGTERM (logout, shutdown, `kill`), SIGINT and SIGHUP quit through the event loop like the menu
// does, so that a running recording is stopped and its files completed. The handler also stops a
// running transcription's tool at once (TerminationSignals).
void quitOnSignals(QApplication& app) {
    TerminationSignals::install();
    if (TerminationSignals::wakeDescriptor() < 0)
        return;
    auto* notifier = new QSocketNotifier(TerminationSignals::wakeDescriptor(), QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [notifier] {
        notifier->setEnabled(false);
        QCoreApplication::quit();
    });
}

} // namespace

int runApplication(int& argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setOrganizationName("Zorvel");
    QApplication::setApplicationName("Zorvel");
    QApplication::setDesktopFileName("zorvel");
    QApplication::setWindowIcon(applicationIcon());
    // No window: closing an alert must not end the application.
    QApplication::setQuitOnLastWindowClosed(false);

    SingleInstance instance;
    switch (instance.claim()) {
    case SingleInstance::Claim::primary:
        break;
    case SingleInstance::Claim::toldRunning:
        std::fputs("Zorvel уже запущен: его значок — в области уведомлений на панели.\n", stderr);
        return 0;
    case SingleInstance::Claim::runningButSilent:
        std::fputs("Zorvel уже запущен, но не отвечает. Завершите его и запустите снова.\n", stderr);
        return 1;
    }

    // Qt's own texts (message box buttons) in Russian, like the rest of the interface.
    QTranslator qtTranslation;
    if (qtTranslation.load(QLocale(QLocale::Russian), "qtbase", "_", QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(&qtTranslation);

    TrayStatusIcon statusIcon;
    MessageBoxAlerts alerts;
    DesktopOpener opener;
    DBusNotifier notifier(opener);
    AppServices services;
    services.statusIcon = &statusIcon;
    services.alerts = &alerts;
    services.notifier = &notifier;
    services.opener = &opener;
    services.now = [] { return std::chrono::system_clock::now(); };
    services.requestMicrophoneAccess = [] { return true; };
    // Standard error is the application's log: the desktop session keeps it in its journal.
    services.log = [](const std::string& line) { (void)writeToDescriptor(STDERR_FILENO, "Zorvel: " + line + "\n"); };
    services.createRecording = [](bool micEnabled) -> Result<std::unique_ptr<Recording>> {
        auto session = TRY(RecordingSession::create(micEnabled));
        return std::make_unique<SessionRecording>(std::move(session));
    };
    services.runTranscription = [](const std::string& language, const std::filesystem::path& folder,
                                   TimePoint startedAt,
                                   const TranscriptionProgressCallback& progress) -> Result<TranscriptionOutcome> {
        std::size_t utterances = 0;
        auto transcript = TRY(Transcriber(language).transcribe(folder, startedAt, [&](const TranscriptionProgress& report) {
            utterances = report.utterances;
            progress(report);
        }));
        return TranscriptionOutcome{std::move(transcript), utterances > 0};
    };

    // Lives for the whole process; a transcription still running when the user quits ends with it.
    static auto* delegate = new AppDelegate(services);
    QObject::connect(delegate, &AppDelegate::quitRequested, &app, &QCoreApplication::quit);
    QObject::connect(&app, &QCoreApplication::aboutToQuit, delegate, &AppDelegate::applicationWillTerminate);
    QObject::connect(&instance, &SingleInstance::activated, delegate, &AppDelegate::anotherInstanceStarted);
    quitOnSignals(app);
    delegate->applicationDidFinishLaunching();
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        std::fputs("Zorvel: системный трей недоступен; значок появится, когда панель запустится.\n", stderr);
    const int status = QApplication::exec();
    // A transcription still running ends with the process; tearing Qt down under it would not be
    // safe. Its tool is stopped first, and the run given a moment to remove what it was writing;
    // the events it posts are not handled any more (its failure is no news while quitting).
    if (delegate->isTranscribing()) {
        TerminationSignals::raise(SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (Transcriber::runsInProgress() > 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::fflush(nullptr);
        std::_Exit(status);
    }
    return status;
}

} // namespace zorvel
