#include "LimitedDownloader.h"

#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <map>

namespace {

Q_LOGGING_CATEGORY(lcTransfers, "murmex.updates", QtInfoMsg)

constexpr int idleTimeoutMilliseconds = 60'000;
constexpr int overallTimeoutMilliseconds = 1'800'000;
// Qt stops reading the socket while this much is unread: the body never piles up in memory.
constexpr qint64 readBufferBytes = 64 * 1024;

// Qt turns HTTP statuses of 400 and above into reply errors (404 → ContentNotFoundError, …);
// those are answers the server gave, refused like any other status, not transport failures.
bool isStatusError(QNetworkReply::NetworkError error, int httpStatus)
{
    return httpStatus >= 400 && error >= QNetworkReply::ProxyConnectionRefusedError;
}

} // namespace

struct LimitedDownloader::Worker : QObject {
    struct Transfer {
        QUrl url;
        qint64 maximumBytes = 0;
        Completion completion;
        QFile file;
        qint64 written = 0;
        bool overLimit = false;
        // Set when the transfer was stopped for a reason of our own (a file that cannot be written).
        QString failure;
    };

    QNetworkAccessManager *manager = nullptr; // created on the worker's thread
    std::map<QNetworkReply *, std::unique_ptr<Transfer>> transfers;
    std::atomic<int> active{0};

    ~Worker() override
    {
        for (auto &[reply, transfer] : transfers) {
            reply->disconnect(this);
            reply->abort();
            transfer->file.close();
            transfer->file.remove();
            delete reply;
        }
        active -= int(transfers.size());
    }

    void start(const QUrl &url, const QString &userAgent, qint64 maximumBytes, const QString &destination, Completion completion)
    {
        auto transfer = std::make_unique<Transfer>();
        transfer->url = url;
        transfer->maximumBytes = maximumBytes;
        transfer->completion = std::move(completion);
        transfer->file.setFileName(destination);
        // A fresh file, never one reached through a link left where the answer goes.
        QFile::remove(destination);
        if (!transfer->file.open(QIODevice::WriteOnly | QIODevice::NewOnly, QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
            Result result;
            result.transportError = QStringLiteral("No se pudo crear %1: %2").arg(destination, transfer->file.errorString());
            --active;
            transfer->completion(std::move(result));
            return;
        }

        if (!manager) {
            manager = new QNetworkAccessManager(this);
            manager->setCache(nullptr);
        }
        QNetworkRequest request(url);
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
        request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
        request.setRawHeader("User-Agent", userAgent.toUtf8());
        // Asking for the body as it is keeps Qt from inflating it on the fly, so the limit counts
        // the bytes the server sent.
        request.setRawHeader("Accept-Encoding", "identity");
        request.setTransferTimeout(idleTimeoutMilliseconds);

        QNetworkReply *reply = manager->get(request);
        reply->setReadBufferSize(readBufferBytes);
        transfers.emplace(reply, std::move(transfer));

        auto *overall = new QTimer(reply);
        overall->setSingleShot(true);
        overall->callOnTimeout(reply, &QNetworkReply::abort);
        overall->start(overallTimeoutMilliseconds);

        connect(reply, &QNetworkReply::metaDataChanged, this, [this, reply] { onMetaData(reply); });
        connect(reply, &QNetworkReply::readyRead, this, [this, reply] { onReadyRead(reply); });
        connect(reply, &QNetworkReply::finished, this, [this, reply] { onFinished(reply); });
    }

    Transfer *transferOf(QNetworkReply *reply)
    {
        const auto found = transfers.find(reply);
        return found == transfers.end() ? nullptr : found->second.get();
    }

    // An announced length over the limit is refused before any of the body arrives.
    void onMetaData(QNetworkReply *reply)
    {
        Transfer *transfer = transferOf(reply);
        if (!transfer)
            return;
        bool known = false;
        const qint64 announced = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
        if (known && announced > transfer->maximumBytes) {
            qCDebug(lcTransfers) << "announced length" << announced << "over" << transfer->maximumBytes << "for" << transfer->url;
            reply->abort(); // finishes the transfer: nothing of it may be touched after this
        }
    }

    // Writes what arrived. While the transfer runs, passing the limit or failing to write cancels
    // it (which finishes it: nothing of it may be touched after that, hence false). Once it has
    // finished, cancelling does nothing: what passes the limit is then left out and refused below.
    bool drain(QNetworkReply *reply, Transfer &transfer, bool running)
    {
        while (reply->bytesAvailable() > 0) {
            const QByteArray chunk = reply->read(readBufferBytes);
            if (transfer.written + chunk.size() > transfer.maximumBytes) {
                qCDebug(lcTransfers) << "body over" << transfer.maximumBytes << "bytes for" << transfer.url;
                transfer.overLimit = true;
                if (running)
                    reply->abort();
                return false;
            }
            if (transfer.file.write(chunk) != chunk.size()) {
                transfer.failure = QStringLiteral("No se pudo escribir %1: %2").arg(transfer.file.fileName(), transfer.file.errorString());
                if (running)
                    reply->abort();
                return false;
            }
            transfer.written += chunk.size();
        }
        return true;
    }

    void onReadyRead(QNetworkReply *reply)
    {
        if (Transfer *transfer = transferOf(reply))
            drain(reply, *transfer, true);
    }

    void onFinished(QNetworkReply *reply)
    {
        const auto found = transfers.find(reply);
        if (found == transfers.end())
            return;
        // Whatever is still buffered belongs to the answer (and to its limit).
        drain(reply, *found->second, false);

        std::unique_ptr<Transfer> owned = std::move(found->second);
        transfers.erase(found);
        reply->disconnect(this);
        reply->deleteLater();

        Result result;
        result.httpStatus = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const bool flushed = owned->file.flush();
        owned->file.close();
        if (!owned->failure.isEmpty())
            result.transportError = owned->failure;
        else if (reply->error() != QNetworkReply::NoError && !isStatusError(reply->error(), result.httpStatus))
            result.transportError = reply->errorString();
        else if (!flushed)
            result.transportError = QStringLiteral("No se pudo escribir %1: %2").arg(owned->file.fileName(), owned->file.errorString());
        else
            result.ok = result.httpStatus == 200 && reply->url() == owned->url && !owned->overLimit
                        && QFileInfo(owned->file.fileName()).size() <= owned->maximumBytes;

        if (result.ok)
            result.file = owned->file.fileName();
        else
            owned->file.remove();
        qCDebug(lcTransfers) << owned->url << "status" << result.httpStatus << "ok" << result.ok << result.transportError;
        --active;
        owned->completion(std::move(result));
    }
};

LimitedDownloader::LimitedDownloader()
    : thread_(std::make_unique<QThread>())
    , worker_(new Worker)
{
    thread_->setObjectName(QStringLiteral("murmex-update-transfers"));
    worker_->moveToThread(thread_.get());
    thread_->start();
}

LimitedDownloader::~LimitedDownloader()
{
    Q_ASSERT_X(QThread::currentThread() != thread_.get(), "LimitedDownloader", "destroyed from its own completion");
    // The worker, its manager and its replies are destroyed on the thread they live on.
    QMetaObject::invokeMethod(worker_, [worker = worker_] { delete worker; }, Qt::BlockingQueuedConnection);
    thread_->quit();
    thread_->wait();
}

void LimitedDownloader::get(const QUrl &url, const QString &userAgent, qint64 maximumBytes, const QString &destination, Completion completion)
{
    ++worker_->active;
    QMetaObject::invokeMethod(
        worker_,
        [worker = worker_, url, userAgent, maximumBytes, destination, completion = std::move(completion)]() mutable {
            worker->start(url, userAgent, maximumBytes, destination, std::move(completion));
        },
        Qt::QueuedConnection);
}

int LimitedDownloader::activeTransfers() const
{
    return worker_->active.load();
}
