#pragma once

#include "app/AppServices.h"
#include "model/ModelDownloader.h"

#include <QAction>
#include <QActionGroup>
#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <deque>
#include <filesystem>
#include <memory>
#include <optional>

namespace zorvel {

// The tray application's controller: owns the menu, the recording in progress, the one-second
// clock, the transcription flag and its queue of unfinished recordings, the last transcript and
// the model downloader.
//
// Threads: everything here runs on the main thread. A transcription runs on a worker thread of
// its own and touches nothing of the controller; its progress and its result come back through
// the main event loop and are dropped if the controller is gone by then.
class AppDelegate : public QObject {
    Q_OBJECT

public:
    explicit AppDelegate(AppServices services, QObject* parent = nullptr);
    ~AppDelegate() override;

    // Builds the menu, gives the tray icon its idle look and counts the unfinished recordings.
    void applicationDidFinishLaunching();
    // Stops a running recording's recorders; the folder stays for a later transcription.
    void applicationWillTerminate();

    // Menu commands.
    void toggleRecording();
    void openLastTranscript();
    void retranscribeLast();
    void transcribeUnfinished();
    void openRecordingsFolder();
    void setLanguage(QAction* item);
    void setStartAtLogin(bool enabled);
    void downloadModel();

    // Transcribes a folder in the background, unless a transcription runs or the model is missing.
    void transcribe(const std::filesystem::path& folder, TimePoint startedAt);
    void notify(const QString& title, const QString& body, const QUrl& target = {});

    // Another start of the application was turned away: say that this one runs, and how it is.
    void anotherInstanceStarted();

    // The newest recording folder: the greatest name among the visible subfolders of the
    // recordings root, leaving out `except` (the folder being recorded).
    static std::optional<std::filesystem::path> newestRecordingFolder(const std::filesystem::path& except = {});

    // Counts the recordings left without a transcript again and shows the count in the menu.
    void refreshUnfinished();

    // One tick of the recording clock; the timer calls it every second.
    void tick();

    QMenu* menu() { return &m_menu; }
    QString statusText() const { return m_statusText; }
    QAction* statusLineItem() const { return m_statusLine; }
    QAction* toggleItem() const { return m_toggleItem; }
    QAction* openTranscriptItem() const { return m_openTranscriptItem; }
    QAction* retranscribeItem() const { return m_retranscribeItem; }
    QAction* unfinishedItem() const { return m_unfinishedItem; }
    QAction* startAtLoginItem() const { return m_startAtLoginItem; }
    QAction* recogniseWhileRecordingItem() const { return m_recogniseWhileRecordingItem; }
    QAction* downloadModelItem() const { return m_downloadModelItem; }
    QMenu* languageMenu() const { return m_languageMenu; }
    ModelDownloader& modelDownloader() { return m_modelDownloader; }
    bool isRecording() const { return m_session != nullptr; }
    bool isTranscribing() const { return m_isTranscribing; }
    bool hasTimer() const { return m_timer != nullptr; }
    std::optional<std::filesystem::path> lastTranscriptURL() const { return m_lastTranscriptURL; }
    int unfinishedCount() const { return m_unfinishedCount; }

signals:
    // After the result of a transcription has been handled on the main thread.
    void transcriptionReported();
    // After a progress report of a transcription has been shown.
    void transcriptionProgressShown();
    // The user chose "Завершить Zorvel".
    void quitRequested();

private:
    // Who wrote the status line last, so that progress only refines its own text.
    enum class StatusSource { event, transcription };

    void startRecording();
    void stopRecording();
    void startTimer();
    void checkMicrophone(Recording& session);
    bool startTranscription(const std::filesystem::path& folder, TimePoint startedAt);
    void transcriptionDidProgress(int run, const TranscriptionProgress& progress);
    void transcriptionDidFinish(const Result<TranscriptionOutcome>& result, const std::filesystem::path& folder);
    void transcribeNextPending();
    void refreshLanguageChecks();
    void refreshStartAtLogin();
    void setStatusLine(const QString& text, StatusSource source = StatusSource::event);
    void setClockTitle(const QString& title);
    void showStatusLine();
    // Gives the tray icon the look and tooltip of the whole state: recording first, then work.
    void refreshLook();
    QString transcriptionText(const std::optional<TranscriptionProgress>& progress) const;
    void alert(AlertStyle style, const QString& message, const QString& informativeText);
    void log(const std::string& line) const;

    AppServices m_services;
    QMenu m_menu;
    QAction* m_statusLine = nullptr;
    QAction* m_toggleItem = nullptr;
    QAction* m_openTranscriptItem = nullptr;
    QAction* m_retranscribeItem = nullptr;
    QAction* m_unfinishedItem = nullptr;
    QAction* m_startAtLoginItem = nullptr;
    QAction* m_recogniseWhileRecordingItem = nullptr;
    QAction* m_downloadModelItem = nullptr;
    QMenu* m_languageMenu = nullptr;
    QActionGroup* m_languageGroup = nullptr;
    std::unique_ptr<Recording> m_session;
    std::unique_ptr<QTimer> m_timer;
    bool m_isTranscribing = false;
    bool m_micWarned = false;
    std::optional<std::filesystem::path> m_lastTranscriptURL;
    ModelDownloader m_modelDownloader;

    // The folder the running transcription works on, and the run's number, so that late
    // progress reports of an earlier run are told apart.
    std::filesystem::path m_transcribingFolder;
    int m_run = 0;
    // Unfinished recordings still to transcribe, oldest first, and the size of that batch.
    std::deque<std::filesystem::path> m_pendingFolders;
    int m_batchSize = 0;
    int m_unfinishedCount = 0;

    QString m_statusText = QStringLiteral("Готов к записи");
    StatusSource m_statusSource = StatusSource::event;
    QString m_clockTitle;
    // "распознано до M:SS" while a recording's stretches are recognised, else empty.
    QString m_recognisedText;
    QString m_transcriptionText;
    QString m_downloadText;
};

} // namespace zorvel
