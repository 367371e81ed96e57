#include "UpdateFiles.h"

#include "support/PrivateFiles.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <cmath>

namespace {

// Both files hold a few short strings; anything larger is not one of them.
constexpr qint64 maximumFileBytes = 64 * 1024;

QString inside(const QString &updatesDirectory, const QString &name)
{
    return QDir(updatesDirectory).filePath(name);
}

std::optional<QJsonObject> readObject(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > maximumFileBytes)
        return std::nullopt;
    const QJsonDocument document = QJsonDocument::fromJson(file.read(maximumFileBytes));
    if (!document.isObject())
        return std::nullopt;
    return document.object();
}

// Atomically, private to the user, and never through a link left in the file's place.
bool writeObject(const QString &updatesDirectory, const QString &path, const QJsonObject &object)
{
    if (!QDir().mkpath(updatesDirectory))
        return false;
    PrivateFiles::removeLink(path);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    const QByteArray bytes = QJsonDocument(object).toJson(QJsonDocument::Compact);
    if (file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

std::optional<QString> nonEmptyString(const QJsonObject &object, const QString &key)
{
    const QJsonValue value = object.value(key);
    if (!value.isString() || value.toString().isEmpty())
        return std::nullopt;
    return value.toString();
}

} // namespace

QString UpdateFiles::pendingNotePath(const QString &updatesDirectory)
{
    return inside(updatesDirectory, QStringLiteral("pending.json"));
}

QString UpdateFiles::attemptGuardPath(const QString &updatesDirectory)
{
    return inside(updatesDirectory, QStringLiteral("attempt-guard.json"));
}

QString UpdateFiles::stagingFolder(const QString &updatesDirectory, const QString &version)
{
    return inside(updatesDirectory, QStringLiteral("stage-") + version);
}

QString UpdateFiles::jobDefinitionPath(const QString &updatesDirectory)
{
    return inside(updatesDirectory, QStringLiteral("apply-update.job"));
}

QString UpdateFiles::healthRequestPath(const QString &updatesDirectory, const QString &version)
{
    return inside(updatesDirectory, QStringLiteral("health-%1.request").arg(version));
}

QString UpdateFiles::healthAckPath(const QString &updatesDirectory, const QString &version)
{
    return inside(updatesDirectory, QStringLiteral("health-%1.ack").arg(version));
}

std::optional<UpdateFiles::PendingNote> UpdateFiles::readPendingNote(const QString &updatesDirectory)
{
    const std::optional<QJsonObject> object = readObject(pendingNotePath(updatesDirectory));
    if (!object)
        return std::nullopt;
    const std::optional<QString> version = nonEmptyString(*object, QStringLiteral("version"));
    const std::optional<QString> newAppPath = nonEmptyString(*object, QStringLiteral("newAppPath"));
    if (!version || !newAppPath)
        return std::nullopt;
    return PendingNote{*version, *newAppPath};
}

bool UpdateFiles::writePendingNote(const QString &updatesDirectory, const PendingNote &note)
{
    return writeObject(updatesDirectory, pendingNotePath(updatesDirectory),
                       QJsonObject{{QStringLiteral("version"), note.version}, {QStringLiteral("newAppPath"), note.newAppPath}});
}

std::optional<UpdateFiles::AttemptGuard> UpdateFiles::readAttemptGuard(const QString &updatesDirectory)
{
    const std::optional<QJsonObject> object = readObject(attemptGuardPath(updatesDirectory));
    if (!object)
        return std::nullopt;
    const std::optional<QString> version = nonEmptyString(*object, QStringLiteral("version"));
    const QJsonValue timestamp = object->value(QStringLiteral("timestamp"));
    // Within a few thousand years of 1970, so that the milliseconds fit.
    if (!version || !timestamp.isDouble() || !(std::fabs(timestamp.toDouble()) < 1e11))
        return std::nullopt;
    return AttemptGuard{*version, QDateTime::fromMSecsSinceEpoch(std::llround(timestamp.toDouble() * 1000.0), Qt::UTC)};
}

bool UpdateFiles::writeAttemptGuard(const QString &updatesDirectory, const QString &version, const QDateTime &now)
{
    return writeObject(updatesDirectory, attemptGuardPath(updatesDirectory),
                       QJsonObject{{QStringLiteral("version"), version}, {QStringLiteral("timestamp"), double(now.toMSecsSinceEpoch()) / 1000.0}});
}

bool UpdateFiles::isInsideUpdatesDirectory(const QString &path, const QString &updatesDirectory)
{
    // Relative paths are never taken: they would depend on the working folder of whoever asks.
    if (!QDir::isAbsolutePath(path) || !QDir::isAbsolutePath(updatesDirectory))
        return false;
    return QDir::cleanPath(path).startsWith(QDir::cleanPath(updatesDirectory) + QLatin1Char('/'));
}
