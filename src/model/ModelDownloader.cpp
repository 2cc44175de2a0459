#include "model/ModelDownloader.h"

#include "model/ModelFileCheck.h"
#include "model/ModelPaths.h"
#include "model/PartFile.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QTimer>
#include <algorithm>
#include <array>
#include <string>
#include <thread>
#include <utility>

namespace zorvel {

namespace {

// How much of the body Qt may hold before it stops reading from the socket, and how much one
// read moves into the file: memory stays the same whatever the size of the model.
constexpr qint64 replyBufferSize = qint64{1024} * 1024;
constexpr std::size_t copyChunkSize = std::size_t{256} * 1024;
constexpr std::size_t magicSize = 4;

// What a body that does not start like a model is, in the words of the error.
std::string notAModel(const std::string& head) {
    // Model hubs and proxies answer a wrong address or a login wall with a page and status 200.
    return !head.empty() && (head.front() == '<' || head.front() == '\n' || head.front() == ' ')
               ? "сервер прислал веб-страницу вместо модели"
               : "сервер прислал не модель в формате ggml";
}

} // namespace

ModelDownloader::ModelDownloader()
    : m_network(std::make_unique<QNetworkAccessManager>()), m_deadline(std::make_unique<QTimer>()),
      m_events(std::make_unique<QObject>()), m_voiceActivitySource(QString::fromStdString(Paths::vadModelDownloadURL())) {
    m_deadline->setSingleShot(true);
    QObject::connect(m_deadline.get(), &QTimer::timeout, m_events.get(), [this] {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(m_timeLimit).count();
        transferEnded(failure(transferError("загрузка не завершилась за " + std::to_string(seconds) + " с")));
    });
}

ModelDownloader::~ModelDownloader() {
    if (m_reply) {
        QObject::disconnect(m_reply, nullptr, m_events.get(), nullptr);
        m_reply->abort();
    }
    // The reply belongs to the access manager and goes with it; the part file removes itself. A
    // commit still running on its worker finishes, and its result finds m_events gone.
}

void ModelDownloader::setSourceURL(QUrl url, std::optional<std::string> sha1) {
    m_chosenSource = std::move(url);
    m_chosenSHA1 = std::move(sha1);
}

Error ModelDownloader::transferError(const std::string& reason) const {
    return Error::platform(errorPrefix() + reason);
}

std::string ModelDownloader::errorPrefix() const {
    return m_stage == Stage::recognitionModel ? "Не удалось скачать модель: "
                                              : "Не удалось скачать модель определения речи: ";
}

void ModelDownloader::start() {
    if (m_isDownloading)
        return;
    m_isDownloading = true;
    ++m_downloadNumber;
    m_lastFraction = -1.0;
    m_voiceActivityFailure.reset();
    // Looked at before the download: a voice-activity model that ships with the program or was
    // fetched before is not fetched again.
    m_wantsVoiceActivityModel = !Paths::vadModelURL();
    m_stage = Stage::recognitionModel;
    // Address, checksum and file name are fixed together for the whole download, so that a
    // setting changed meanwhile cannot store one model under another's name.
    m_target = Paths::modelURL();
    m_source = m_chosenSource ? *m_chosenSource : QUrl(QString::fromStdString(Paths::modelDownloadURL()));
    m_sourceSHA1 = m_chosenSource ? m_chosenSHA1 : Paths::modelDownloadSHA1();
    PartFile::removeAbandoned(m_target);
    PartFile::removeAbandoned(Paths::downloadedVadModelURL());
    m_started.start();
    m_deadline->start(m_timeLimit);
    startTransfer();
}

void ModelDownloader::startTransfer() {
    m_head.clear();
    m_sha1.reset();
    QNetworkRequest request(m_stage == Stage::recognitionModel ? m_source : m_voiceActivitySource);
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
    transferEnded(failure(transferError(text).withPlatformCause(ErrorSource::http, code, reason)));
    return false;
}

bool ModelDownloader::drainBody() {
    if (!m_part) {
        auto part = PartFile::create(m_stage == Stage::recognitionModel ? m_target
                                                                        : Paths::downloadedVadModelURL());
        if (!part) {
            transferEnded(failure(std::move(part).error()));
            return false;
        }
        m_part = std::move(*part);
    }
    std::array<char, copyChunkSize> chunk; // NOLINT(cppcoreguidelines-pro-type-member-init): read() fills it
    while (m_reply->bytesAvailable() > 0) {
        const qint64 read = m_reply->read(chunk.data(), static_cast<qint64>(chunk.size()));
        if (read <= 0)
            break;
        const std::string_view bytes(chunk.data(), static_cast<std::size_t>(read));
        if (m_head.size() < magicSize) {
            m_head += bytes.substr(0, magicSize - m_head.size());
            // A page instead of a model is given up at once rather than after all of it arrived.
            if (m_head.size() == magicSize && !startsWithGgmlMagic(m_head)) {
                transferEnded(failure(transferError(notAModel(m_head))));
                return false;
            }
        }
        m_sha1.addData(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
        if (auto written = m_part->write(bytes); !written) {
            transferEnded(std::move(written));
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
    if (m_stage != Stage::recognitionModel)
        return;
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
        transferEnded(failure(transferError(
            "сервер не присылал данных " +
            std::to_string(std::chrono::duration_cast<std::chrono::seconds>(m_stallLimit).count()) + " с")));
        return;
    default: {
        const std::string words = m_reply->errorString().toStdString();
        transferEnded(
            failure(transferError(words).withPlatformCause(ErrorSource::qtNetwork, m_reply->error(), words)));
        return;
    }
    }
    if (!drainBody())
        return;
    if (auto received = verifyReceived(); !received) {
        transferEnded(std::move(received));
        return;
    }
    commitInBackground();
}

Result<void> ModelDownloader::verifyReceived() {
    // An empty file is no model, whatever the status said.
    if (m_part->size() == 0)
        return failure(transferError("сервер прислал пустой файл"));
    // Qt 6.4 now and then reports a body cut short as complete: a connection closed early, or
    // chunks that end before the stated length. Without a stated length there is nothing to check.
    const QVariant expected = m_reply->header(QNetworkRequest::ContentLengthHeader);
    if (expected.isValid() && m_part->size() != expected.toULongLong())
        return failure(transferError("получено " + std::to_string(m_part->size()) + " байт из " +
                                     std::to_string(expected.toULongLong())));
    // A body shorter than the magic never reached the check in drainBody().
    if (!startsWithGgmlMagic(m_head))
        return failure(transferError(notAModel(m_head)));
    if (m_stage == Stage::recognitionModel && m_sourceSHA1 &&
        m_sha1.result().toHex().toStdString() != *m_sourceSHA1)
        return failure(
            transferError("контрольная сумма SHA-1 не совпала с опубликованной: файл испорчен при передаче"));
    return {};
}

void ModelDownloader::commitInBackground() {
    releaseReply();
    // The commit is not cut off by the time limit: a file that arrived whole is stored.
    m_deadline->stop();
    enum class Layout { none, whisper, voiceActivity };
    Layout layout = Layout::voiceActivity;
    if (m_stage == Stage::recognitionModel)
        layout = m_sourceSHA1 ? Layout::none : Layout::whisper;
    std::thread([part = std::move(m_part), layout, prefix = errorPrefix(), self = this,
                 alive = QPointer<QObject>(m_events.get()), number = m_downloadNumber]() mutable {
        Result<void> outcome;
        // Without a published checksum, only the layout tells a model from a file that merely
        // starts like one (a mirror that cut it short and said so in Content-Length).
        const auto check = layout == Layout::whisper ? checkWhisperModel(part->path())
                           : layout == Layout::voiceActivity
                               ? checkVoiceActivityModel(part->path())
                               : ModelFileCheck{ModelFileCheck::State::present, {}};
        if (check.isPresent())
            outcome = part->commit();
        else
            outcome = failure(
                Error::platform(prefix + "сервер прислал повреждённую модель (" + check.reason + ")"));
        part.reset();
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, alive, number, outcome = std::move(outcome)]() mutable {
                if (alive && self->m_isDownloading && self->m_downloadNumber == number)
                    self->transferEnded(std::move(outcome));
            },
            Qt::QueuedConnection);
    }).detach();
}

void ModelDownloader::transferEnded(Result<void> outcome) {
    if (!m_isDownloading)
        return;
    releaseReply();
    m_part.reset();
    if (m_stage == Stage::recognitionModel) {
        if (!outcome || !m_wantsVoiceActivityModel) {
            finish(std::move(outcome));
            return;
        }
        m_stage = Stage::voiceActivityModel;
        // The time limit is the whole download's.
        m_deadline->start(std::max(m_timeLimit - std::chrono::milliseconds(m_started.elapsed()),
                                   std::chrono::milliseconds(1)));
        startTransfer();
        return;
    }
    // The recognition model is stored: the download succeeded with or without this one.
    if (!outcome)
        m_voiceActivityFailure = std::move(outcome).error();
    finish({});
}

void ModelDownloader::releaseReply() {
    if (!m_reply)
        return;
    QObject::disconnect(m_reply, nullptr, m_events.get(), nullptr);
    m_reply->abort();
    m_reply->deleteLater();
    m_reply = nullptr;
}

void ModelDownloader::finish(Result<void> outcome) {
    if (!m_isDownloading)
        return;
    m_isDownloading = false;
    m_deadline->stop();
    releaseReply();
    m_part.reset();
    // A copy, so that the callback may replace onFinish or start the next download.
    if (auto callback = onFinish)
        callback(std::move(outcome));
}

} // namespace zorvel
