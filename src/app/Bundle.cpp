#include "Bundle.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

QString Bundle::rootPath()
{
    const QString candidate = QDir::cleanPath(QCoreApplication::applicationDirPath() + QStringLiteral("/.."));
    return QFileInfo::exists(candidate + QStringLiteral("/bundle.json")) ? candidate : QString();
}

QString Bundle::shortVersion()
{
    const QString root = rootPath();
    if (root.isEmpty())
        return {};
    QFile file(root + QStringLiteral("/bundle.json"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object().value(QStringLiteral("version")).toString();
}

QString Bundle::resourcesPath()
{
    const QString root = rootPath();
    return root.isEmpty() ? QString() : root + QStringLiteral("/share/murmex");
}

QString Bundle::libexecPath()
{
    const QString root = rootPath();
    return root.isEmpty() ? QString() : root + QStringLiteral("/libexec");
}
