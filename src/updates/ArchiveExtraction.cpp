#include "ArchiveExtraction.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <archive.h>
#include <archive_entry.h>

#include <memory>

namespace {

const QString errorDomain = QStringLiteral("MurmexUpdater");
enum Code { unreadableArchive = 20, refusedEntry, unpackingFailed };

struct ReadCloser {
    void operator()(archive *handle) const { archive_read_free(handle); }
};
struct WriteCloser {
    void operator()(archive *handle) const { archive_write_free(handle); }
};
using ReadArchive = std::unique_ptr<archive, ReadCloser>;
using WriteArchive = std::unique_ptr<archive, WriteCloser>;

std::unexpected<Error> failure(Code code, const QString &description)
{
    return std::unexpected(Error{errorDomain, code, description});
}

QString reasonOf(archive *handle)
{
    const char *text = archive_error_string(handle);
    return text ? QString::fromUtf8(text) : QStringLiteral("error desconocido");
}

QString nameOf(archive_entry *entry)
{
    if (const char *utf8 = archive_entry_pathname_utf8(entry))
        return QString::fromUtf8(utf8);
    if (const char *raw = archive_entry_pathname(entry))
        return QString::fromLocal8Bit(raw);
    return {};
}

// Why an entry may not be unpacked at all, judged from its header alone; empty when it may.
QString refusalOf(archive_entry *entry)
{
    const char *raw = archive_entry_pathname(entry);
    if (!raw || !*raw)
        return QStringLiteral("no tiene nombre");
    const QByteArray path(raw);
    if (path.startsWith('/'))
        return QStringLiteral("su ruta es absoluta");
    if (path.split('/').contains(".."))
        return QStringLiteral("su ruta contiene «..»");
    if (archive_entry_symlink(entry))
        return QStringLiteral("es un enlace simbólico");
    if (archive_entry_hardlink(entry))
        return QStringLiteral("es un enlace duro");
    const auto type = archive_entry_filetype(entry);
    if (type != AE_IFREG && type != AE_IFDIR)
        return QStringLiteral("no es un archivo ni una carpeta");
    return {};
}

QString overLimit(qint64 maximumBytes)
{
    return QStringLiteral("el contenido desempaquetado pasaría de %1 bytes").arg(maximumBytes);
}

} // namespace

Expected<void> ArchiveExtraction::extractZip(const QString &archivePath, const QString &destinationFolder, qint64 maximumBytes)
{
    // libarchive writes relative to the process's working folder, which other threads share: each
    // entry is written under the destination's real absolute path instead. That path is absolute
    // by construction, so the check for absolute names is made here on the archive's own names;
    // the links on the way to the destination are resolved first, since no link may lie on the
    // way of what is written.
    const QString root = QFileInfo(destinationFolder).canonicalFilePath();
    if (root.isEmpty() || !QFileInfo(root).isDir())
        return failure(unpackingFailed, QStringLiteral("La carpeta de destino %1 no existe.").arg(destinationFolder));

    const ReadArchive reader(archive_read_new());
    const WriteArchive writer(archive_write_disk_new());
    if (!reader || !writer)
        return failure(unpackingFailed, QStringLiteral("No se pudo preparar el desempaquetado de %1.").arg(archivePath));
    archive_read_support_format_zip(reader.get());
    // Never the owner, ACLs, extended attributes or file flags the archive names: only the
    // permissions (masked below) and the times.
    archive_write_disk_set_options(writer.get(), ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_SECURE_NODOTDOT
                                                     | ARCHIVE_EXTRACT_SECURE_SYMLINKS);
    if (archive_read_open_filename(reader.get(), QFile::encodeName(archivePath).constData(), 64 * 1024) != ARCHIVE_OK)
        return failure(unreadableArchive, QStringLiteral("No se pudo abrir el archivo %1: %2").arg(archivePath, reasonOf(reader.get())));

    qint64 total = 0;
    for (;;) {
        archive_entry *entry = nullptr;
        const int status = archive_read_next_header(reader.get(), &entry);
        if (status == ARCHIVE_EOF)
            break;
        if (status != ARCHIVE_OK)
            return failure(unreadableArchive, QStringLiteral("No se pudo leer el archivo %1: %2").arg(archivePath, reasonOf(reader.get())));

        const QString name = nameOf(entry);
        const auto refuse = [&](const QString &reason) {
            return failure(refusedEntry, QStringLiteral("Entrada «%1» rechazada: %2.").arg(name, reason));
        };
        if (const QString reason = refusalOf(entry); !reason.isEmpty())
            return refuse(reason);
        if (archive_entry_size_is_set(entry) && archive_entry_size(entry) > maximumBytes - total)
            return refuse(overLimit(maximumBytes));

        const bool folder = archive_entry_filetype(entry) == AE_IFDIR;
        // No set-user or set-group bit and no writing by others; the owner may always read and
        // write (and enter a folder), so the staging folder can be removed whatever the archive says.
        archive_entry_set_perm(entry, (archive_entry_perm(entry) & 0775) | (folder ? 0700 : 0600));
        const QByteArray target = QFile::encodeName(root) + '/' + archive_entry_pathname(entry);
        archive_entry_set_pathname(entry, target.constData());

        if (archive_write_header(writer.get(), entry) != ARCHIVE_OK)
            return failure(unpackingFailed, QStringLiteral("No se pudo desempaquetar «%1»: %2").arg(name, reasonOf(writer.get())));
        qint64 entryBytes = 0;
        for (;;) {
            const void *block = nullptr;
            size_t size = 0;
            la_int64_t offset = 0;
            const int read = archive_read_data_block(reader.get(), &block, &size, &offset);
            if (read == ARCHIVE_EOF)
                break;
            if (read != ARCHIVE_OK)
                return failure(unreadableArchive, QStringLiteral("No se pudo leer «%1»: %2").arg(name, reasonOf(reader.get())));
            // Counted as it is written: a header may understate what follows. Blocks come one after
            // the other; a gap would be a hole in the file that the count does not see.
            if (offset != entryBytes)
                return refuse(QStringLiteral("sus datos no son contiguos"));
            if (qint64(size) > maximumBytes - total)
                return refuse(overLimit(maximumBytes));
            total += qint64(size);
            entryBytes += qint64(size);
            if (archive_write_data_block(writer.get(), block, size, offset) != ARCHIVE_OK)
                return failure(unpackingFailed, QStringLiteral("No se pudo escribir «%1»: %2").arg(name, reasonOf(writer.get())));
        }
        if (archive_write_finish_entry(writer.get()) != ARCHIVE_OK)
            return failure(unpackingFailed, QStringLiteral("No se pudo terminar «%1»: %2").arg(name, reasonOf(writer.get())));
    }
    // Folders get their final permissions and times only now.
    if (archive_write_close(writer.get()) != ARCHIVE_OK)
        return failure(unpackingFailed, QStringLiteral("No se pudo terminar el desempaquetado de %1: %2").arg(archivePath, reasonOf(writer.get())));
    return {};
}
