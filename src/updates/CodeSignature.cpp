#include "CodeSignature.h"
#include "UpdateSecurityDetail.h"

#include <QFile>
#include <QJsonObject>
#include <QSet>

#include <sys/stat.h>

#include <algorithm>
#include <utility>

namespace CodeSignature {
namespace {

using UpdateSecurityDetail::refusal;

// Far above what a bundle's list of files needs; read whole before parsing.
constexpr qint64 maximumDocumentBytes = 16 * 1024 * 1024;

const QString identifierKey = QStringLiteral("identifier");
const QString authorityKey = QStringLiteral("authority");
const QString filesKey = QStringLiteral("files");
const QString signatureKey = QStringLiteral("signature");

// A path the signature may name: relative, with "/" between non-empty names other than "." and
// "..", no line feed (it would break the signed message) and no NUL.
bool isBundlePath(const QString &path)
{
    if (path.isEmpty() || path.contains(QLatin1Char('\n')) || path.contains(QChar(u'\0')))
        return false;
    const QStringList names = path.split(QLatin1Char('/'));
    return std::none_of(names.begin(), names.end(), [](const QString &name) {
        return name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..");
    });
}

Expected<QByteArray> readDocument(const QString &documentPath)
{
    struct stat status {};
    const QByteArray name = QFile::encodeName(documentPath);
    if (::lstat(name.constData(), &status) != 0 || !S_ISREG(status.st_mode))
        return std::unexpected(refusal(QStringLiteral("falta %1 o no es un archivo").arg(documentPath)));
    if (status.st_size > maximumDocumentBytes)
        return std::unexpected(refusal(QStringLiteral("%1 es demasiado grande").arg(documentPath)));
    QFile file(documentPath);
    if (!file.open(QIODevice::ReadOnly))
        return std::unexpected(refusal(QStringLiteral("No se puede abrir %1: %2").arg(documentPath, file.errorString())));
    QByteArray bytes = file.read(maximumDocumentBytes + 1);
    if (bytes.size() > maximumDocumentBytes || file.error() != QFileDevice::NoError)
        return std::unexpected(refusal(QStringLiteral("Error al leer %1: %2").arg(documentPath, file.errorString())));
    return bytes;
}

} // namespace

QByteArray signedMessage(const QString &identifier, const QString &authority, const QMap<QString, QString> &files)
{
    QList<std::pair<QByteArray, QByteArray>> entries;
    entries.reserve(files.size());
    for (auto it = files.begin(); it != files.end(); ++it)
        entries.append({it.key().toUtf8(), it.value().toUtf8()});
    std::sort(entries.begin(), entries.end());
    QByteArray message = identifier.toUtf8() + '\n' + authority.toUtf8() + '\n';
    for (const auto &[path, digest] : std::as_const(entries))
        message += path + '\n' + digest + '\n';
    return message;
}

Expected<void> verify(const QString &bundleRoot, const QString &expectedIdentifier, const QByteArray &publicKeyDER)
{
    const QString documentPath = bundleRoot + QLatin1Char('/') + fileName;
    const auto document = readDocument(documentPath);
    if (!document)
        return std::unexpected(document.error());
    const auto object = UpdateSecurityDetail::objectWithoutRepeatedKeys(*document);
    const QStringList keys = object ? object->keys() : QStringList();
    if (QSet<QString>(keys.begin(), keys.end()) != QSet<QString>{identifierKey, authorityKey, filesKey, signatureKey}
        || !object->value(identifierKey).isString() || !object->value(authorityKey).isString()
        || !object->value(filesKey).isObject() || !object->value(signatureKey).isString())
        return std::unexpected(refusal(QStringLiteral("%1 no tiene la forma de una firma").arg(fileName)));

    QMap<QString, QString> signedFiles;
    const QJsonObject files = object->value(filesKey).toObject();
    for (auto it = files.begin(); it != files.end(); ++it) {
        if (!isBundlePath(it.key()) || !it.value().isString())
            return std::unexpected(refusal(QStringLiteral("%1 nombra un archivo no válido: %2").arg(fileName, it.key())));
        signedFiles.insert(it.key(), it.value().toString());
    }
    const QString authority = object->value(authorityKey).toString();
    if (authority != authorityName)
        return std::unexpected(refusal(QStringLiteral("firmado por «%1», no por «%2»").arg(authority, authorityName)));
    const QString identifier = object->value(identifierKey).toString();
    if (identifier != expectedIdentifier)
        return std::unexpected(refusal(QStringLiteral("firma con el identificador «%1», no «%2»").arg(identifier, expectedIdentifier)));
    if (!UpdateSecurityDetail::isP256PublicKey(publicKeyDER))
        return std::unexpected(refusal(QStringLiteral("no hay una clave pública P-256 con la que comprobar la firma")));
    const auto signature = UpdateSecurityDetail::strictBase64(object->value(signatureKey).toString());
    if (!signature || !UpdateSecurityDetail::isValidSignature(signedMessage(identifier, authority, signedFiles), *signature, publicKeyDER))
        return std::unexpected(refusal(QStringLiteral("la firma de %1 no es válida").arg(fileName)));

    const auto entries = UpdateSecurityDetail::bundleEntries(bundleRoot);
    if (!entries)
        return std::unexpected(entries.error());
    QSet<QString> found;
    for (const auto &entry : *entries) {
        if (entry.kind == UpdateSecurityDetail::BundleEntry::directory || entry.path == fileName)
            continue;
        if (entry.kind != UpdateSecurityDetail::BundleEntry::file)
            return std::unexpected(refusal(QStringLiteral("el bundle contiene algo que no es un archivo ni una carpeta: %1").arg(entry.path)));
        if (!signedFiles.contains(entry.path))
            return std::unexpected(refusal(QStringLiteral("archivo sin firmar: %1").arg(entry.path)));
        found.insert(entry.path);
    }
    for (auto it = signedFiles.begin(); it != signedFiles.end(); ++it) {
        if (!found.contains(it.key()))
            return std::unexpected(refusal(QStringLiteral("falta el archivo firmado %1").arg(it.key())));
    }
    for (auto it = signedFiles.begin(); it != signedFiles.end(); ++it) {
        const QString &path = it.key();
        const auto digest = UpdateSecurityDetail::fileDigestBase64(bundleRoot + QLatin1Char('/') + path,
                                                                   UpdateSecurityDetail::Digest::sha256, true);
        if (!digest)
            return std::unexpected(digest.error());
        if (*digest != it.value())
            return std::unexpected(refusal(QStringLiteral("archivo modificado: %1").arg(path)));
    }
    return {};
}

} // namespace CodeSignature
