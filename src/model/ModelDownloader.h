#pragma once

#include "support/Error.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QString>
#include <QUrl>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QNetworkAccessManager;
class QObject;
class QNetworkReply;
class QTimer;

namespace zorvel {

class PartFile;

// Fetches the recognition model from Paths::modelDownloadURL() and stores it at Paths::modelURL(),
// both looked up at each start(), as the model setting may have changed since the last one; then,
// when no whole voice-activity model is found, that model from Paths::vadModelDownloadURL() to
// Paths::downloadedVadModelURL(). One download at a time.
//
// Threads: create, use and destroy the downloader on the thread that runs the Qt event loop (the
// main thread). Both callbacks are called on that thread, from its event loop, never from inside
// start(). The check of a received file, its fsync and its rename run on a worker thread of their
// own, so that a large model does not stall the interface; their result comes back through the
// main thread's event loop.
//
// Files: each body is streamed into a hidden file beside its target and renamed over it only when
// the whole body has arrived with a success status and has been verified: against the published
// SHA-1 when there is one (the default address), else by the layout of a whisper (or voice-
// activity) model. An existing model stays in place until the new one is complete and verified,
// and no partial file is ever left behind.
class ModelDownloader {
public:
    ModelDownloader();
    // Destroying the downloader during a download stops it without calling onFinish.
    ~ModelDownloader();
    ModelDownloader(const ModelDownloader&) = delete;
    ModelDownloader& operator=(const ModelDownloader&) = delete;

    // The fraction of the recognition model received so far (0 to 1), only when the server states
    // the size; never decreasing within one download.
    std::function<void(double)> onProgress;
    // Once per download: success means the recognition model is stored at Paths::modelURL(). The
    // voice-activity model is optional: its failure does not fail the download (see below).
    std::function<void(Result<void>)> onFinish;

    // Begins a download unless one is running, in which case nothing happens.
    void start();
    bool isDownloading() const { return m_isDownloading; }
    // Why the voice-activity model of the last finished download was not stored, if it was not.
    const std::optional<Error>& voiceActivityFailure() const { return m_voiceActivityFailure; }

    // Seams for tests and tools; they take effect at the next start(). `sha1` is the expected
    // SHA-1 in lower-case hex; without one a body is checked by its layout. A source set here
    // stays in place of Paths::modelDownloadURL() for every later download.
    void setSourceURL(QUrl url, std::optional<std::string> sha1 = std::nullopt);
    void setVoiceActivitySourceURL(QUrl url) { m_voiceActivitySource = std::move(url); }
    void setTimeLimit(std::chrono::milliseconds limit) { m_timeLimit = limit; }
    void setStallLimit(std::chrono::milliseconds limit) { m_stallLimit = limit; }

private:
    enum class Stage { recognitionModel, voiceActivityModel };

    void startTransfer();
    void handleReadyRead();
    void handleFinished();
    void handleProgress(qint64 received);
    // Checks the status once the response has one; an error ends the transfer.
    bool acceptStatus();
    // Moves what the reply holds into the part file; an error ends the transfer.
    bool drainBody();
    // Whether what arrived is whole and is what was asked for, as far as the main thread can tell
    // without reading the file again.
    Result<void> verifyReceived();
    // Hands the part file to a worker thread that checks its layout (when needed), syncs it and
    // renames it over the target.
    void commitInBackground();
    // The end of one file's transfer: the next file, or the end of the download.
    void transferEnded(Result<void> outcome);
    void releaseReply();
    void finish(Result<void> outcome);
    // "Не удалось скачать модель: " (or the voice-activity model's) + reason.
    Error transferError(const std::string& reason) const;
    std::string errorPrefix() const;

    std::unique_ptr<QNetworkAccessManager> m_network;
    std::unique_ptr<QTimer> m_deadline;
    // Receives the running reply's signals, so that they can be cut at once; also the token by
    // which a worker's result finds out whether the downloader still exists.
    std::unique_ptr<QObject> m_events;
    QNetworkReply* m_reply = nullptr;
    std::unique_ptr<PartFile> m_part;
    QCryptographicHash m_sha1{QCryptographicHash::Sha1};
    // The first bytes of the body, to tell a model from a web page before much has arrived.
    std::string m_head;
    bool m_isDownloading = false;
    unsigned m_downloadNumber = 0;
    Stage m_stage = Stage::recognitionModel;
    bool m_wantsVoiceActivityModel = false;
    std::optional<Error> m_voiceActivityFailure;
    double m_lastFraction = -1.0;
    QElapsedTimer m_started;

    // Fixed by setSourceURL(), else looked up at each start().
    std::optional<QUrl> m_chosenSource;
    std::optional<std::string> m_chosenSHA1;
    // The running download's.
    QUrl m_source;
    std::optional<std::string> m_sourceSHA1;
    std::filesystem::path m_target;
    QUrl m_voiceActivitySource;
    std::chrono::milliseconds m_timeLimit = std::chrono::hours(1);
    std::chrono::milliseconds m_stallLimit = std::chrono::seconds(60);
};

} // namespace zorvel
