#include "model/ModelDownloader.h"

#include "model/ModelPaths.h"
#include "model/PartFile.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <algorithm>
#include <array>
#include <string>
#include <utility>

namespace zorvel {

namespace {

// How much of the body Qt may hold before it stops reading from the socket, and how much one
// read moves into the file: memory stays the same whatever the size of the model.
constexpr qint64 replyBufferSize = qint64{1024} * 1024;
constexpr std::size_t copyChunkSize = std::size_t{256} * 1024;

Error downloadError(const std::string& reason) { return Error::platform("Не удалось скачать модель: " + reason); }

} // namespace

ModelDownloader::ModelDownloader()
    : m_network(std::make_unique<QNetworkAccessManager>()), m_deadline(std::make_unique<QTimer>()),
      m_events(std::make_unique<QObject>()), m_sourceURL(QString::fromStdString(Paths::modelDownloadURL())) {
    m_deadline->setSingleShot(true);
    QObject::connect(m_deadline.get(), &QTimer::timeout, m_events.get(), [this] {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(m_timeLimit).count();
        finish(failure(downloadError("загрузка не завершилась за " + std::to_string(seconds) + " с")));
    });
}

ModelDownloader::~ModelDownloader() {
    if (m_reply) {
        QObject::disconnect(m_reply, nullptr, m_events.get(), nullptr);
        m_reply->abort();
    }
    // The reply belongs to the access manager and goes with it; the part file removes itself.
}

void ModelDownloader::start() {
    if (m_isDownloading)
        return;
    m_isDownloading = true;
    m_lastFraction = -1.0;
    PartFile::removeAbandoned(Paths::modelURL());

    QNetworkRequest request(m_sourceURL);
    // The model hub answers with a redirect to its file storage.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    // The file is stored byte for byte and its length checked against Content-Length, so the
    // transfer must not be compressed.
    request.setRawHeader("Accept-Encoding", "identity");
    // A connection that stays silent this long is given up; the whole download has m_deadline.
    // This also ends a download whose connection closed while Qt held back reading (the bounded
    // buffer below), which Qt 6.4 otherwise never notices.
    request.setTransferTimeout(static_cast<int>(m_stallLimit.count()));

    m_reply = m_network->get(request);
    m_reply->setReadBufferSize(replyBufferSize);
    QObject::connect(m_reply, &QNetworkReply::readyRead, m_events.get(), [this] { handleReadyRead(); });
    QObject::connect(m_reply, &QNetworkReply::finished, m_events.get(), [this] { handleFinished(); });
    QObject::connect(m_reply, &QNetworkReply::downloadProgress, m_events.get(),
                     [this](qint64 received, qint64) { handleProgress(received); });
    m_deadline->start(m_timeLimit);
}

bool ModelDownloader::acceptStatus() {
    const QVariant status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    // Only HTTP has a status; a file: address given as a mirror has none.
    if (!status.isValid())
        return true;
    const int code = status.toInt();
    if (code >= 200 && code < 300)
        return true;
    const std::string reason =
        m_reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString().trimmed().toStdString();
    std::string text = "сервер ответил HTTP " + std::to_string(code);
    if (!reason.empty())
        text += " (" + reason + ")";
    finish(failure(downloadError(text).withPlatformCause(ErrorSource::http, code, reason)));
    return false;
}

bool ModelDownloader::drainBody() {
    if (!m_part) {
        auto part = PartFile::create(Paths::modelURL());
        if (!part) {
            finish(failure(std::move(part).error()));
            return false;
        }
        m_part = std::move(*part);
    }
    std::array<char, copyChunkSize> chunk; // NOLINT(cppcoreguidelines-pro-type-member-init): read() fills it
    while (m_reply->bytesAvailable() > 0) {
        const qint64 read = m_reply->read(chunk.data(), static_cast<qint64>(chunk.size()));
        if (read <= 0)
            break;
        if (auto written = m_part->write(std::string_view(chunk.data(), static_cast<std::size_t>(read))); !written) {
            finish(std::move(written));
            return false;
        }
    }
    return true;
}

void ModelDownloader::handleReadyRead() {
    if (acceptStatus())
        drainBody();
}

void ModelDownloader::handleProgress(qint64 received) {
    // The size the server stated. Qt's own total is not used: at the end of a body of unknown size
    // it reports what arrived as the total.
    const QVariant stated = m_reply->header(QNetworkRequest::ContentLengthHeader);
    const qint64 total = stated.isValid() ? stated.toLongLong() : 0;
    if (total < 1 || received < 0)
        return;
    // The body of an error page.
    const QVariant status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && (status.toInt() < 200 || status.toInt() >= 300))
        return;
    const double fraction = std::min(1.0, static_cast<double>(received) / static_cast<double>(total));
    if (fraction <= m_lastFraction)
        return;
    m_lastFraction = fraction;
    if (auto callback = onProgress)
        callback(fraction);
}

void ModelDownloader::handleFinished() {
    // An error page is named by its status rather than by the network layer's generic text.
    if (!acceptStatus())
        return;
    switch (m_reply->error()) {
    case QNetworkReply::NoError:
        break;
    case QNetworkReply::OperationCanceledError:
        // Our own aborts disconnect first, so this is the transfer time-out.
        finish(failure(downloadError(
            "сервер не присылал данных " +
            std::to_string(std::chrono::duration_cast<std::chrono::seconds>(m_stallLimit).count()) + " с")));
        return;
    default: {
        const std::string words = m_reply->errorString().toStdString();
        finish(failure(downloadError(words).withPlatformCause(ErrorSource::qtNetwork, m_reply->error(), words)));
        return;
    }
    }
    if (!drainBody())
        return;
    finish(store());
}

Result<void> ModelDownloader::store() {
    // Qt 6.4 now and then reports a body cut short as complete: a connection closed early, or
    // chunks that end before the stated length. Without a stated length there is nothing to check.
    const QVariant expected = m_reply->header(QNetworkRequest::ContentLengthHeader);
    // An empty file is no model, whatever the status said.
    if (m_part->size() == 0)
        return failure(downloadError("сервер прислал пустой файл"));
    if (expected.isValid() && m_part->size() != expected.toULongLong())
        return failure(downloadError("получено " + std::to_string(m_part->size()) + " байт из " +
                                     std::to_string(expected.toULongLong())));
    return m_part->commit();
}

void ModelDownloader::finish(Result<void> outcome) {
    if (!m_isDownloading)
        return;
    m_isDownloading = false;
    m_deadline->stop();
    if (m_reply) {
        QObject::disconnect(m_reply, nullptr, m_events.get(), nullptr);
        m_reply->abort();
        m_reply->deleteLater();
        m_reply = nullptr;
    }
    m_part.reset();
    // A copy, so that the callback may replace onFinish or start the next download.
    if (auto callback = onFinish)
        callback(std::move(outcome));
}

} // namespace zorvel
