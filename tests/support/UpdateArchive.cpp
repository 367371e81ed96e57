#include "UpdateArchive.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>

#include <archive.h>
#include <archive_entry.h>

#include <memory>

namespace {

// Overwrites a 32-bit field of the headers of the entry named `path`: local file headers (signature
// PK\3\4, name at 30) or central directory headers (PK\1\2, name at 46).
void patchHeaders(QByteArray &zip, bool central, const QByteArray &path, int field, quint32 value)
{
    const QByteArray signature = central ? "PK\x01\x02" : "PK\x03\x04";
    const int nameLengthAt = central ? 28 : 26, nameAt = central ? 46 : 30;
    for (qsizetype at = zip.indexOf(signature); at >= 0; at = zip.indexOf(signature, at + 4)) {
        const int nameLength = quint8(zip[at + nameLengthAt]) | quint8(zip[at + nameLengthAt + 1]) << 8;
        if (zip.mid(at + nameAt, nameLength) == path)
            for (int i = 0; i < 4; ++i)
                zip[at + field + i] = char(value >> (8 * i));
    }
}

bool writable(mode_t mode)
{
    return S_ISREG(mode) || S_ISDIR(mode) || S_ISLNK(mode);
}

} // namespace

QByteArray UpdateArchive::zip(const QList<Entry> &entries)
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
    const std::unique_ptr<archive_entry, decltype(&archive_entry_free)> header(archive_entry_new(), &archive_entry_free);
    for (const Entry &entry : entries) {
        archive_entry_clear(header.get());
        archive_entry_set_pathname(header.get(), entry.path.constData());
        archive_entry_set_mode(header.get(), writable(entry.mode) ? entry.mode : (S_IFREG | 0644));
        if (S_ISLNK(entry.mode))
            archive_entry_set_symlink(header.get(), entry.link.constData());
        if (entry.hardLink)
            archive_entry_set_hardlink(header.get(), entry.link.constData());
        archive_entry_set_size(header.get(), entry.content.size());
        if (archive_write_header(writer.get(), header.get()) != ARCHIVE_OK
            || archive_write_data(writer.get(), entry.content.constData(), size_t(entry.content.size())) != entry.content.size())
            return {};
    }
    if (archive_write_close(writer.get()) != ARCHIVE_OK)
        return {};
    for (const Entry &entry : entries) {
        if (!writable(entry.mode))
            patchHeaders(zip, true, entry.path, 38, quint32(entry.mode) << 16); // external attributes
        if (entry.statedSize) { // uncompressed size
            patchHeaders(zip, false, entry.path, 22, *entry.statedSize);
            patchHeaders(zip, true, entry.path, 24, *entry.statedSize);
        }
    }
    return zip;
}

QByteArray UpdateArchive::zip(const QString &folder, const QString &top, const QString &extraSymlink)
{
    QList<Entry> entries;
    for (const QString &path : entriesBelow(folder)) {
        const QFileInfo info(folder + u'/' + path);
        const QByteArray name = (top + u'/' + path).toUtf8();
        if (info.isDir())
            entries.append({name, S_IFDIR | 0755});
        else
            entries.append({name, mode_t(S_IFREG | (info.permissions() & QFileDevice::ExeOwner ? 0755 : 0644)), readFile(info.filePath())});
    }
    if (!extraSymlink.isEmpty())
        entries.append({(top + u'/' + extraSymlink).toUtf8(), S_IFLNK | 0777, {}, "/etc/passwd"});
    return zip(entries);
}

QStringList UpdateArchive::entriesBelow(const QString &folder)
{
    QStringList entries;
    for (QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories); it.hasNext();)
        entries.append(QDir(folder).relativeFilePath(it.next()));
    entries.sort();
    return entries;
}

QByteArray UpdateArchive::readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool UpdateArchive::writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}
