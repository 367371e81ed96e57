// The dictation controller: kept recordings that nobody came back for go to the Trash after an hour.

#include "AppDelegate.h"
#include "AppDelegateSupport.h"

#include "support/Log.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <algorithm>

using namespace AppDelegateSupport;

namespace {

constexpr int expiryAgeSeconds = 3600;
constexpr int cleanupIntervalMilliseconds = 60'000;

QString standardized(const QString &path)
{
    return path.isEmpty() ? QString() : QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

// Qt 6.4 reports success and writes the Trash into the current directory when the data folder is
// missing: the folder must exist and the path in the Trash be absolute before the move counts.
bool moveToTrash(const QString &path)
{
    if (!QDir().mkpath(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)))
        return false;
    QString pathInTrash;
    return QFile::moveToTrash(path, &pathInTrash) && QDir::isAbsolutePath(pathInTrash);
}

} // namespace

std::optional<QDateTime> AppDelegate::latestActivityDate(const QString &folder)
{
    std::optional<QDateTime> latest;
    const auto consider = [&latest](const QFileInfo &info) {
        const QDateTime modified = info.lastModified();
        if (modified.isValid() && (!latest || modified > *latest))
            latest = modified;
    };
    const QFileInfo own(folder);
    if (own.exists())
        consider(own);
    // Direct children only: segments, transcripts and logs all sit at the folder's top.
    QDirIterator children(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
    while (children.hasNext())
        consider(QFileInfo(children.next()));
    return latest;
}

void AppDelegate::cleanupExpiredRecordingFolders()
{
    const QString root = standardized(AppStorage::recordingsRootURL());
    const QStringList protectedFolders{standardized(recordingFolder_), standardized(subsystems.transcription->transcriptionFolder())};
    const QDateTime cutoff = QDateTime::currentDateTime().addSecs(-expiryAgeSeconds);
    const QFileInfoList items = QDir(root).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
    for (const QFileInfo &item : items) {
        const QString path = standardized(item.filePath());
        if (QFileInfo(path).path() != root || protectedFolders.contains(path) || !item.isDir() || item.isSymLink())
            continue;
        const auto latest = latestActivityDate(path);
        if (!latest || cutoff < *latest)
            continue;
        // Tried again on the next pass when it fails; the Trash keeps the recording recoverable.
        if (moveToTrash(path))
            Log::write(QStringLiteral("[MurmexRecording] Grabación sin transcribir de más de una hora movida a la Papelera: %1").arg(path));
        else
            qCDebug(lcDictation) << "could not move to the Trash:" << path;
    }
}

void AppDelegate::scheduleExpiredRecordingsCleanup()
{
    discardTimer(expiredRecordingsCleanupTimer);
    expiredRecordingsCleanupTimer = std::make_unique<QTimer>();
    expiredRecordingsCleanupTimer->setInterval(cleanupIntervalMilliseconds);
    connect(expiredRecordingsCleanupTimer.get(), &QTimer::timeout, this, &AppDelegate::cleanupExpiredRecordingFolders);
    expiredRecordingsCleanupTimer->start();
}
