#include "PrivateFiles.h"

#include "Log.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool lstatPath(const QString &path, struct stat &status)
{
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0;
}

void restrict(const QString &path)
{
    struct stat status {};
    if (!lstatPath(path, status) || S_ISLNK(status.st_mode) || (status.st_mode & 077) == 0)
        return;
    if (::chmod(QFile::encodeName(path).constData(), status.st_mode & 0700) != 0)
        Log::write(QStringLiteral("[MurmexStorage] No se pudieron restringir los permisos de %1: %2")
                       .arg(path, QString::fromLocal8Bit(std::strerror(errno))));
}

} // namespace

void PrivateFiles::restrictNewFiles()
{
    ::umask(077);
}

bool PrivateFiles::removeLink(const QString &path)
{
    struct stat status {};
    if (!lstatPath(path, status) || !S_ISLNK(status.st_mode))
        return false;
    const QString target = QFile::symLinkTarget(path);
    if (::unlink(QFile::encodeName(path).constData()) != 0) {
        Log::write(QStringLiteral("[MurmexStorage] Hay un enlace simbólico en lugar de %1 y no se pudo quitar: %2")
                       .arg(path, QString::fromLocal8Bit(std::strerror(errno))));
        return true;
    }
    Log::write(QStringLiteral("[MurmexStorage] Se quitó un enlace simbólico en lugar de %1 (apuntaba a %2).").arg(path, target));
    return true;
}

bool PrivateFiles::makeFolder(const QString &base, const QString &folder)
{
    const QString root = QDir::cleanPath(base);
    if (!QDir().mkpath(root))
        return false;
    const QString relative = QDir(root).relativeFilePath(QDir::cleanPath(folder));
    if (relative.startsWith(QLatin1String("..")) || QDir::isAbsolutePath(relative))
        return false;
    QString path = root;
    for (const QString &name : relative.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (name == QLatin1String("."))
            continue;
        path += QLatin1Char('/') + name;
        struct stat status {};
        if (lstatPath(path, status) && S_ISDIR(status.st_mode))
            continue;
        removeLink(path);
        if (::mkdir(QFile::encodeName(path).constData(), 0700) != 0 && !(lstatPath(path, status) && S_ISDIR(status.st_mode)))
            return false;
    }
    return true;
}

void PrivateFiles::tighten(const QString &root)
{
    restrict(root);
    QDirIterator entries(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (entries.hasNext())
        restrict(entries.next());
}
