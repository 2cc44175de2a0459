#pragma once

#include "support/Error.h"

#include <QString>
#include <QUrl>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>

class QNetworkAccessManager;
class QObject;
class QNetworkReply;
class QTimer;

namespace zorvel {

class PartFile;

// Fetches the recognition model from Paths::modelDownloadURL() and stores it at Paths::modelURL(),
// one download at a time.
//
// Threads: create, use and destroy the downloader on the thread that runs the Qt event loop (the
// main thread). Both callbacks are called on that thread, from its event loop, never from inside
// start().
//
// Files: the body is streamed into a hidden file beside the model and renamed over it only when
// the whole body has arrived with a success status, so an existing model stays in place until the
// new one is complete and no partial file is ever left behind.
class ModelDownloader {
public:
    ModelDownloader();
    // Destroying the downloader during a download stops it without calling onFinish.
    ~ModelDownloader();
    ModelDownloader(const ModelDownloader&) = delete;
    ModelDownloader& operator=(const ModelDownloader&) = delete;

    // The fraction of the file received so far (0 to 1), only when the server states the size;
    // never decreasing within one download.
    std::function<void(double)> onProgress;
    // Once per download: success means the model is stored at Paths::modelURL().
    std::function<void(Result<void>)> onFinish;

    // Begins a download unless one is running, in which case nothing happens.
    void start();
    bool isDownloading() const { return m_isDownloading; }

    // Seams for tests and tools; they take effect at the next start().
    void setSourceURL(QUrl url) { m_sourceURL = std::move(url); }
    void setTimeLimit(std::chrono::milliseconds limit) { m_timeLimit = limit; }
    void setStallLimit(std::chrono::milliseconds limit) { m_stallLimit = limit; }

private:
    void handleReadyRead();
    void handleFinished();
    void handleProgress(qint64 received);
    // Checks the status once the response has one; an error ends the download.
    bool acceptStatus();
    // Moves what the reply holds into the part file; an error ends the download.
    bool drainBody();
    Result<void> store();
    void finish(Result<void> outcome);

    std::unique_ptr<QNetworkAccessManager> m_network;
    std::unique_ptr<QTimer> m_deadline;
    // Receives the running reply's signals, so that they can be cut at once.
    std::unique_ptr<QObject> m_events;
    QNetworkReply* m_reply = nullptr;
    std::unique_ptr<PartFile> m_part;
    bool m_isDownloading = false;
    double m_lastFraction = -1.0;

    QUrl m_sourceURL;
    std::chrono::milliseconds m_timeLimit = std::chrono::hours(1);
    std::chrono::milliseconds m_stallLimit = std::chrono::seconds(60);
};

} // namespace zorvel
