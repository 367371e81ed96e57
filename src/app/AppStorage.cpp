#include "AppStorage.h"

#include "support/Log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QUuid>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

const QString supportRootName = QStringLiteral("Murmex");
const QString legacyRootName = QStringLiteral("Olvena");
const QString backupPrefix = QStringLiteral(".Murmex - datos anteriores-");

std::mutex migrationLock;
bool migrationAttempted = false;

QString standardized(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

} // namespace

QString AppStorage::applicationSupportDirectory()
{
    // $XDG_DATA_HOME, or ~/.local/share when it is unset or not absolute.
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
}

QString AppStorage::supportRootURL()
{
    const QString applicationSupport = applicationSupportDirectory();
    migrateLegacySupportDirectoryIfNeeded(applicationSupport);
    return applicationSupport + QLatin1Char('/') + supportRootName;
}

QString AppStorage::recordingsRootURL()
{
    return supportRootURL() + QStringLiteral("/Recordings");
}

void AppStorage::migrateLegacySupportDirectoryIfNeeded(const QString &applicationSupport)
{
    std::lock_guard lock(migrationLock);
    if (migrationAttempted)
        return;
    migrationAttempted = true; // before any file work: a failure is not retried in this process

    const QString current = applicationSupport + QLatin1Char('/') + supportRootName;
    const QString legacy = applicationSupport + QLatin1Char('/') + legacyRootName;
    if (!QFileInfo::exists(legacy))
        return;

    // With data already at the new place, the earlier data is kept hidden beside it.
    const QString destination = QFileInfo::exists(current)
        ? applicationSupport + QLatin1Char('/') + backupPrefix + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper()
        : current;
    if (std::rename(QFile::encodeName(legacy).constData(), QFile::encodeName(destination).constData()) != 0) {
        Log::write(QStringLiteral("[MurmexStorage] No se pudieron migrar los datos: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
    }
}

void AppStorage::resetMigrationForTesting()
{
    std::lock_guard lock(migrationLock);
    migrationAttempted = false;
}

void AppStorage::removeRecordingFolderIfOwned(const QString &folder, const QString &root)
{
    if (folder.isEmpty() || root.isEmpty())
        return;
    const QString rootPrefix = standardized(root) + QLatin1Char('/');
    const QString path = standardized(folder);
    if (!path.startsWith(rootPrefix))
        return;
    const QFileInfo info(path);
    if (info.isSymLink()) {
        // Removing the link, never what it points to: a link may lead out of the recordings root.
        QFile::remove(path);
        return;
    }
    QDir(path).removeRecursively();
}
