#include "app/Application.h"

#include "app/AppDelegate.h"
#include "app/DesktopServices.h"
#include "pipeline/Transcriber.h"
#include "recording/RecordingSession.h"
#include "support/FileDescriptor.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QSystemTrayIcon>
#include <QTranslator>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace zorvel {

namespace {

// A RecordingSession as the controller sees it. A session dropped while running stops itself, so
// its files are complete.
class SessionRecording final : public Recording {
public:
    explicit SessionRecording(std::unique_ptr<RecordingSession> session) : m_session(std::move(session)) {}

    Result<void> start() override { return m_session->start(); }
    void stop() override { m_session->stop(); }
    std::filesystem::path folderURL() const override { return m_session->folderURL(); }
    TimePoint startedAt() const override { return m_session->startedAt(); }
    bool micEnabled() const override { return m_session->micEnabled(); }
    double secondsSinceLastSound() const override { return m_session->secondsSinceLastSound(); }
    bool micBroken() const override { return m_session->micBroken(); }

private:
    std::unique_ptr<RecordingSession> m_session;
};

} // namespace

int runApplication(int& argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setOrganizationName("Zorvel");
    QApplication::setApplicationName("Zorvel");
    QApplication::setDesktopFileName("zorvel");
    // No window: closing an alert must not end the application.
    QApplication::setQuitOnLastWindowClosed(false);

    // Qt's own texts (message box buttons) in Russian, like the rest of the interface.
    QTranslator qtTranslation;
    if (qtTranslation.load(QLocale(QLocale::Russian), "qtbase", "_", QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(&qtTranslation);

    TrayStatusIcon statusIcon;
    MessageBoxAlerts alerts;
    DBusNotifier notifier;
    DesktopOpener opener;
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
                                   TimePoint startedAt) { return Transcriber(language).transcribe(folder, startedAt); };

    // Lives for the whole process; a transcription still running when the user quits ends with it.
    static AppDelegate* delegate = new AppDelegate(services);
    QObject::connect(delegate, &AppDelegate::quitRequested, &app, &QCoreApplication::quit);
    QObject::connect(&app, &QCoreApplication::aboutToQuit, delegate, &AppDelegate::applicationWillTerminate);
    delegate->applicationDidFinishLaunching();
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        std::fputs("Zorvel: системный трей недоступен; значок появится, когда панель запустится.\n", stderr);
    const int status = QApplication::exec();
    // A transcription still running ends with the process; tearing Qt down under it would not be safe.
    if (delegate->isTranscribing()) {
        std::fflush(nullptr);
        std::_Exit(status);
    }
    return status;
}

} // namespace zorvel
