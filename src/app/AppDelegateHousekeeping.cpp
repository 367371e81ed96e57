// The dictation controller: kept recordings. Transcribed again on request, offered after a crash,
// and moved to the Trash after an hour when nobody came back for them.

#include "AppDelegate.h"
#include "AppDelegateSupport.h"

#include "RuntimeStateFile.h"
#include "platform/Alerts.h"
#include "platform/ApplicationShell.h"
#include "platform/Platform.h"
#include "support/Log.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
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
    const QStringList protectedFolders{standardized(recordingFolder_), standardized(subsystems.transcription->transcriptionFolder()),
                                       standardized(interruptedDictationFolder)};
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

// MARK: - Transcribing kept recordings

void AppDelegate::transcribeKeptRecording(const QString &folder)
{
    if (state_ != DictationState::idle) {
        keptRecordingNotTranscribed(folder, QStringLiteral("Termina antes el dictado en curso."));
        return;
    }
    Log::write(QStringLiteral("[MurmexRecording] Se transcribe de nuevo la grabación conservada %1").arg(folder));
    subsystems.transcription->transcribeKeptRecording(folder);
}

void AppDelegate::keptRecordingCopied(const QString &text)
{
    rememberRecentDictation(text);
    statusItem_.showMessage(QStringLiteral("Texto copiado al portapapeles"), firstWords(text));
}

void AppDelegate::keptRecordingNotTranscribed(const QString &folder, const QString &reason)
{
    Log::write(QStringLiteral("[MurmexRecording] La grabación %1 no se transcribió: %2").arg(folder, reason));
    statusItem_.showMessage(QStringLiteral("La grabación sigue guardada"), reason);
}

void AppDelegate::transcriptionDelivered(const QString &text)
{
    rememberRecentDictation(text);
}

// MARK: - A dictation interrupted by the end of an earlier run

void AppDelegate::findInterruptedDictation()
{
    const auto leftover = RuntimeStateFile::reportUncleanEndOfEarlierRun();
    if (!leftover || leftover->folder.isEmpty()
        || (leftover->state != DictationState::recording && leftover->state != DictationState::transcribing))
        return;
    const QString folder = AppStorage::recordingsRootURL() + QLatin1Char('/') + leftover->folder;
    const QFileInfo info(folder);
    if (info.isDir() && !info.isSymLink())
        interruptedDictationFolder = standardized(folder);
}

void AppDelegate::offerInterruptedDictation()
{
    if (interruptedDictationFolder.isEmpty() || hasTerminated)
        return;
    const QString folder = interruptedDictationFolder;
    enum Choice { transcribe, reveal, later };
    const int choice = platform.alerts.showWarning(
        QStringLiteral("Se conservó un dictado interrumpido"),
        QStringLiteral("Murmex se cerró mientras grababas o transcribías. La grabación está en %1.").arg(folder),
        {QStringLiteral("Transcribir"), QStringLiteral("Mostrar grabación"), QStringLiteral("Más tarde")});
    // From now on the folder is a kept recording like any other.
    interruptedDictationFolder.clear();
    if (hasTerminated || !QFileInfo(folder).isDir())
        return;
    switch (choice) {
    case transcribe: transcribeKeptRecording(folder); break;
    case reveal: platform.shell.revealInFileBrowser(folder); break;
    default: break;
    }
}
