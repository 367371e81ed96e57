#pragma once

#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>

class QThread;

// Transfers for the updater, on a thread of their own with its own QNetworkAccessManager: each
// GET is streamed to a file as it arrives and cancelled as soon as it passes its byte limit;
// redirects are never followed; nothing is cached. The result is accepted only with HTTP status
// 200, a final URL equal to the one asked for, an announced length unknown or within the limit,
// and a file within the limit.
class LimitedDownloader {
public:
    struct Result {
        bool ok = false;
        // Set when ok: the file written, now the caller's to move or delete.
        QString file;
        // When not ok: the transport error's description, or empty when the transfer itself
        // succeeded but the answer was refused (status, URL, size): the caller then says
        // "tamaño o formato rechazado".
        QString transportError;
        int httpStatus = 0;
    };
    using Completion = std::function<void(Result)>;

    LimitedDownloader();
    ~LimitedDownloader(); // cancels every transfer and joins the thread

    // Any thread. The answer goes to `destination` (created or truncated; removed when not ok).
    // `completion` runs on the downloader's thread, exactly once, unless the downloader is
    // destroyed first. A request times out after 60 s without data and 1800 s in all.
    void get(const QUrl &url, const QString &userAgent, qint64 maximumBytes, const QString &destination, Completion completion);

    // Transfers running now (for tests: nothing left behind).
    [[nodiscard]] int activeTransfers() const;

private:
    struct Worker;
    std::unique_ptr<QThread> thread_;
    Worker *worker_ = nullptr; // lives on thread_
};
