#pragma once

#include "app/AppServices.h"
#include "model/ModelDownloader.h"

#include <QAction>
#include <QActionGroup>
#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <filesystem>
#include <memory>
#include <optional>

namespace zorvel {

// The tray application's controller: owns the menu, the recording in progress, the one-second
// clock, the transcription flag, the last transcript and the model downloader.
//
// Threads: everything here runs on the main thread. A transcription runs on a worker thread of
// its own and touches nothing of the controller; its result comes back through the main event
// loop and is dropped if the controller is gone by then.
class AppDelegate : public QObject {
    Q_OBJECT

public:
    explicit AppDelegate(AppServices services, QObject* parent = nullptr);
    ~AppDelegate() override;

    // Builds the menu and gives the tray icon its idle look.
    void applicationDidFinishLaunching();
    // Stops a running recording's recorders; the folder stays for a later transcription.
    void applicationWillTerminate();

    // Menu commands.
    void toggleRecording();
    void openLastTranscript();
    void retranscribeLast();
    void openRecordingsFolder();
    void setLanguage(QAction* item);
    void downloadModel();

    // Transcribes a folder in the background, unless a transcription runs or the model is missing.
    void transcribe(const std::filesystem::path& folder, TimePoint startedAt);
    void notify(const QString& title, const QString& body);

    // The newest recording folder: the greatest name among the visible subfolders of the
    // recordings root, leaving out `except` (the folder being recorded).
    static std::optional<std::filesystem::path> newestRecordingFolder(const std::filesystem::path& except = {});

    // One tick of the recording clock; the timer calls it every second.
    void tick();

    QMenu* menu() { return &m_menu; }
    QString statusText() const { return m_statusText; }
    QAction* statusLineItem() const { return m_statusLine; }
    QAction* toggleItem() const { return m_toggleItem; }
    QAction* openTranscriptItem() const { return m_openTranscriptItem; }
    QAction* retranscribeItem() const { return m_retranscribeItem; }
    QAction* downloadModelItem() const { return m_downloadModelItem; }
    QMenu* languageMenu() const { return m_languageMenu; }
    ModelDownloader& modelDownloader() { return m_modelDownloader; }
    bool isRecording() const { return m_session != nullptr; }
    bool isTranscribing() const { return m_isTranscribing; }
    bool hasTimer() const { return m_timer != nullptr; }
    std::optional<std::filesystem::path> lastTranscriptURL() const { return m_lastTranscriptURL; }

signals:
    // After the result of a transcription has been handled on the main thread.
    void transcriptionReported();
    // The user chose "Завершить Zorvel".
    void quitRequested();

private:
    void startRecording();
    void stopRecording();
    void startTimer();
    void checkMicrophone(Recording& session);
    void transcriptionDidFinish(const Result<std::filesystem::path>& result, const std::filesystem::path& folder);
    void refreshLanguageChecks();
    void setStatusLine(const QString& text);
    void setClockTitle(const QString& title);
    void showStatusLine();
    void alert(AlertStyle style, const QString& message, const QString& informativeText);
    void log(const std::string& line) const;

    AppServices m_services;
    QMenu m_menu;
    QAction* m_statusLine = nullptr;
    QAction* m_toggleItem = nullptr;
    QAction* m_openTranscriptItem = nullptr;
    QAction* m_retranscribeItem = nullptr;
    QAction* m_downloadModelItem = nullptr;
    QMenu* m_languageMenu = nullptr;
    QActionGroup* m_languageGroup = nullptr;
    std::unique_ptr<Recording> m_session;
    std::unique_ptr<QTimer> m_timer;
    bool m_isTranscribing = false;
    bool m_micWarned = false;
    std::optional<std::filesystem::path> m_lastTranscriptURL;
    ModelDownloader m_modelDownloader;

    QString m_statusText = QStringLiteral("Готов к записи");
    QString m_clockTitle;
};

} // namespace zorvel
