#include "UpdateArchive.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>

#include <archive.h>
#include <archive_entry.h>

#include <memory>

QByteArray UpdateArchive::zip(const QString &folder, const QString &top, const QString &extraSymlink)
{
    QByteArray zip;
    const std::unique_ptr<archive, decltype(&archive_write_free)> writer(archive_write_new(), &archive_write_free);
    archive_write_set_format_zip(writer.get());
    archive_write_open(
        writer.get(), &zip, nullptr,
        [](archive *, void *data, const void *buffer, size_t length) -> la_ssize_t {
            static_cast<QByteArray *>(data)->append(static_cast<const char *>(buffer), qsizetype(length));
            return la_ssize_t(length);
        },
        nullptr);
    const auto add = [&writer](const QString &path, mode_t type, mode_t permissions, const QByteArray &content, const QString &target) {
        const std::unique_ptr<archive_entry, decltype(&archive_entry_free)> entry(archive_entry_new(), &archive_entry_free);
        archive_entry_set_pathname(entry.get(), path.toUtf8().constData());
        archive_entry_set_filetype(entry.get(), type);
        archive_entry_set_perm(entry.get(), permissions);
        archive_entry_set_size(entry.get(), content.size());
        if (!target.isEmpty())
            archive_entry_set_symlink(entry.get(), target.toUtf8().constData());
        archive_write_header(writer.get(), entry.get());
        archive_write_data(writer.get(), content.constData(), size_t(content.size()));
    };
    for (QDirIterator it(folder, QDir::Files | QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories); it.hasNext();) {
        const QFileInfo info(it.next());
        const QString path = top + u'/' + QDir(folder).relativeFilePath(info.filePath());
        const mode_t permissions = (info.permissions() & QFileDevice::ExeOwner) ? 0755 : 0644;
        QFile file(info.filePath());
        const QByteArray content = info.isDir() || !file.open(QIODevice::ReadOnly) ? QByteArray() : file.readAll();
        add(path, info.isDir() ? AE_IFDIR : AE_IFREG, info.isDir() ? 0755 : permissions, content, {});
    }
    if (!extraSymlink.isEmpty())
        add(top + u'/' + extraSymlink, AE_IFLNK, 0777, {}, QStringLiteral("/etc/passwd"));
    archive_write_close(writer.get());
    return zip;
}
