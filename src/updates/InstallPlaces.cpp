#include "InstallPlaces.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

QString cleanAbsolute(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

} // namespace

InstallPlaces InstallPlaces::forHome(const QString &home)
{
    return {QStringLiteral("/opt/murmex"), cleanAbsolute(home + QStringLiteral("/.local/opt/murmex"))};
}

InstallPlaces InstallPlaces::forCurrentUser()
{
    return forHome(QDir::homePath());
}

bool InstallPlaces::accepts(const QString &bundleRoot) const
{
    if (bundleRoot.isEmpty())
        return false;
    const QString place = cleanAbsolute(bundleRoot);
    return place == system || place == user;
}

BundleManager bundleManager(const QString &bundleRoot)
{
    // A bundle.json that cannot be read says nothing about who manages the bundle: it is then
    // taken for a build tree, which never installs or updates itself.
    QFile file(QDir(bundleRoot).filePath(QStringLiteral("bundle.json")));
    if (!file.open(QIODevice::ReadOnly))
        return BundleManager::buildTree;
    const QJsonDocument document = QJsonDocument::fromJson(file.read(64 * 1024));
    if (!document.isObject())
        return BundleManager::buildTree;
    const QJsonValue managedBy = document.object().value(QStringLiteral("managedBy"));
    if (managedBy.isUndefined())
        return BundleManager::self;
    if (managedBy == QStringLiteral("package-manager"))
        return BundleManager::packageManager;
    return BundleManager::buildTree; // "build-tree", or a value this version does not know
}
