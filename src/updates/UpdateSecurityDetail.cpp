#include "UpdateSecurityDetail.h"
#include "UpdateSecurity.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>

#include <openssl/ecdsa.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/x509.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string_view>

namespace UpdateSecurityDetail {
namespace {

struct PkeyFree {
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
struct MdContextFree {
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};
struct EcdsaSigFree {
    void operator()(ECDSA_SIG *signature) const { ECDSA_SIG_free(signature); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using MdContext = std::unique_ptr<EVP_MD_CTX, MdContextFree>;
using EcdsaSig = std::unique_ptr<ECDSA_SIG, EcdsaSigFree>;

struct FileDescriptor {
    int descriptor = -1;
    FileDescriptor() = default;
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    ~FileDescriptor()
    {
        if (descriptor >= 0)
            ::close(descriptor);
    }
};

// OpenSSL keeps failures in a per-thread queue; a refusal must not leave them for the next caller.
struct ErrorQueueCleaner {
    ~ErrorQueueCleaner() { ERR_clear_error(); }
};

const unsigned char *bytes(const QByteArray &data) { return reinterpret_cast<const unsigned char *>(data.constData()); }

Pkey p256Key(const QByteArray &der)
{
    const unsigned char *cursor = bytes(der);
    Pkey key(d2i_PUBKEY(nullptr, &cursor, der.size()));
    if (!key || cursor != bytes(der) + der.size() || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_EC)
        return {};
    char group[64] = {};
    size_t length = 0;
    if (EVP_PKEY_get_group_name(key.get(), group, sizeof group, &length) != 1
        || std::string_view(group, length) != SN_X9_62_prime256v1)
        return {};
    return key;
}

// Whether the bytes are one ECDSA signature in DER exactly as i2d writes it (no trailing bytes,
// no longer encodings of the same integers).
bool isStrictDERSignature(const QByteArray &der)
{
    const unsigned char *cursor = bytes(der);
    const EcdsaSig signature(d2i_ECDSA_SIG(nullptr, &cursor, der.size()));
    if (!signature || cursor != bytes(der) + der.size())
        return false;
    unsigned char *encoded = nullptr;
    const int length = i2d_ECDSA_SIG(signature.get(), &encoded);
    const bool same = length == der.size() && std::memcmp(encoded, der.constData(), size_t(length)) == 0;
    OPENSSL_free(encoded);
    return same;
}

qsizetype membersWritten(const QByteArray &json)
{
    qsizetype colons = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : json) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == ':') {
            ++colons;
        }
    }
    return colons;
}

qsizetype membersKept(const QJsonValue &value)
{
    qsizetype count = 0;
    if (value.isObject()) {
        const QJsonObject object = value.toObject();
        count += object.size();
        for (auto it = object.begin(); it != object.end(); ++it)
            count += membersKept(it.value());
    } else if (value.isArray()) {
        for (const QJsonValue element : value.toArray())
            count += membersKept(element);
    }
    return count;
}

Error fileError(const QString &format, const QString &path, int error)
{
    return Error{errorDomain, fileUnreadable, format.arg(path, QString::fromLocal8Bit(std::strerror(error)))};
}

} // namespace

std::optional<QByteArray> strictBase64(const QString &text)
{
    const QByteArray encoded = text.toLatin1();
    if (encoded.isEmpty() || encoded.size() % 4 != 0 || QString::fromLatin1(encoded) != text)
        return std::nullopt;
    auto decoding = QByteArray::fromBase64Encoding(encoded, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoding || decoding.decoded.toBase64() != encoded)
        return std::nullopt;
    return decoding.decoded;
}

std::optional<QJsonObject> objectWithoutRepeatedKeys(const QByteArray &json)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();
    if (membersKept(object) != membersWritten(json))
        return std::nullopt;
    return object;
}

bool isP256PublicKey(const QByteArray &publicKeyDER)
{
    const ErrorQueueCleaner cleaner;
    return p256Key(publicKeyDER) != nullptr;
}

bool isValidSignature(const QByteArray &message, const QByteArray &signatureDER, const QByteArray &publicKeyDER)
{
    const ErrorQueueCleaner cleaner;
    const Pkey key = p256Key(publicKeyDER);
    if (!key || !isStrictDERSignature(signatureDER))
        return false;
    const MdContext context(EVP_MD_CTX_new());
    return context && EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) == 1
        && EVP_DigestVerify(context.get(), bytes(signatureDER), size_t(signatureDER.size()), bytes(message), size_t(message.size())) == 1;
}

Expected<QString> fileDigestBase64(const QString &path, Digest digest, bool refuseLink)
{
    const ErrorQueueCleaner cleaner;
    const QByteArray name = QFile::encodeName(path);
    FileDescriptor file;
    do
        file.descriptor = ::open(name.constData(), O_RDONLY | O_CLOEXEC | (refuseLink ? O_NOFOLLOW : 0));
    while (file.descriptor < 0 && errno == EINTR);
    if (file.descriptor < 0)
        return std::unexpected(fileError(QStringLiteral("No se puede abrir %1: %2"), path, errno));
    ::posix_fadvise(file.descriptor, 0, 0, POSIX_FADV_SEQUENTIAL); // only advice: its failure changes nothing

    const MdContext context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), digest == Digest::sha256 ? EVP_sha256() : EVP_sha512(), nullptr) != 1)
        return std::unexpected(fileError(QStringLiteral("No se puede calcular el resumen de %1: %2"), path, ENOMEM));
    const auto buffer = std::make_unique_for_overwrite<unsigned char[]>(size_t(UpdateSecurity::digestChunkBytes));
    for (;;) {
        const ssize_t got = ::read(file.descriptor, buffer.get(), size_t(UpdateSecurity::digestChunkBytes));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return std::unexpected(fileError(QStringLiteral("Error al leer %1: %2"), path, errno));
        if (got == 0)
            break;
        if (EVP_DigestUpdate(context.get(), buffer.get(), size_t(got)) != 1)
            return std::unexpected(fileError(QStringLiteral("No se puede calcular el resumen de %1: %2"), path, EIO));
    }
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), value, &length) != 1)
        return std::unexpected(fileError(QStringLiteral("No se puede calcular el resumen de %1: %2"), path, EIO));
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(value), int(length)).toBase64());
}

Expected<QList<BundleEntry>> bundleEntries(const QString &bundleRoot)
{
    namespace fs = std::filesystem;
    const QByteArray rootName = QFile::encodeName(QDir::cleanPath(bundleRoot));
    const std::string_view root(rootName.constData(), size_t(rootName.size()));
    QList<BundleEntry> entries;
    std::error_code error;
    if (!fs::is_directory(fs::symlink_status(fs::path(root), error)))
        return std::unexpected(refusal(QStringLiteral("el bundle no es una carpeta: %1").arg(bundleRoot)));
    fs::recursive_directory_iterator walk(fs::path(root), fs::directory_options::none, error);
    for (; !error && walk != fs::recursive_directory_iterator(); walk.increment(error)) {
        const std::string &native = walk->path().native();
        const QByteArray relative = QByteArray::fromStdString(native.substr(root.size() + 1));
        const QString path = QFile::decodeName(relative);
        // A name that is not text in this system's encoding could not be named in the signature.
        if (QFile::encodeName(path) != relative)
            return std::unexpected(refusal(QStringLiteral("nombre de archivo ilegible en el bundle: %1").arg(path)));
        const fs::file_status status = walk->symlink_status(error);
        if (error)
            break;
        BundleEntry entry{path, BundleEntry::other};
        if (fs::is_symlink(status))
            entry.kind = BundleEntry::symbolicLink;
        else if (fs::is_regular_file(status))
            entry.kind = BundleEntry::file;
        else if (fs::is_directory(status))
            entry.kind = BundleEntry::directory;
        entries.append(entry);
    }
    if (error) {
        return std::unexpected(Error{errorDomain, fileUnreadable,
                                     QStringLiteral("No se puede recorrer el bundle %1: %2")
                                         .arg(bundleRoot, QString::fromLocal8Bit(error.message()))});
    }
    std::sort(entries.begin(), entries.end(),
              [](const BundleEntry &a, const BundleEntry &b) { return a.path.toUtf8() < b.path.toUtf8(); });
    return entries;
}

Error refusal(const QString &description)
{
    return Error{errorDomain, bundleRefused, description};
}

} // namespace UpdateSecurityDetail
