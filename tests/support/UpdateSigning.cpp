#include "UpdateSigning.h"

#include "updates/BundleValidation.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QSysInfo>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <elf.h>

#include <algorithm>
#include <memory>

namespace UpdateSigning {
namespace {

template <auto release>
struct Releaser {
    template <typename T>
    void operator()(T *handle) const { release(handle); }
};
using Pkey = std::unique_ptr<EVP_PKEY, Releaser<EVP_PKEY_free>>;
using Bio = std::unique_ptr<BIO, Releaser<BIO_free>>;
using MdContext = std::unique_ptr<EVP_MD_CTX, Releaser<EVP_MD_CTX_free>>;
using EcdsaSig = std::unique_ptr<ECDSA_SIG, Releaser<ECDSA_SIG_free>>;

template <typename T>
T checked(T result, const char *what)
{
    if (!result)
        qFatal("UpdateSigning: %s failed", what);
    return result;
}

Pkey privateKey(const Key &key)
{
    const Bio bio(checked(BIO_new_mem_buf(key.privatePEM.constData(), int(key.privatePEM.size())), "BIO_new_mem_buf"));
    return Pkey(checked(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr), "PEM_read_bio_PrivateKey"));
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

} // namespace

QString testPrivateKeyPath()
{
    return QStringLiteral(MURMEX_TEST_UPDATE_PRIVATE_KEY);
}

Key testKey()
{
    QFile pem(testPrivateKeyPath());
    if (!pem.open(QIODevice::ReadOnly))
        qFatal("UpdateSigning: cannot read %s", qPrintable(pem.fileName()));
    return Key{pem.readAll(), testTrust().publicKeyDER};
}

UpdateTrust testTrust()
{
    // The test build's trust, linked into this library (murmex_update_trust_test).
    return UpdateTrust::ofThisBuild();
}

Key generateKey(const char *curve)
{
    const Pkey pkey(checked(EVP_EC_gen(curve), "EVP_EC_gen"));
    const Bio bio(checked(BIO_new(BIO_s_mem()), "BIO_new"));
    checked(PEM_write_bio_PrivateKey(bio.get(), pkey.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1, "PEM_write_bio_PrivateKey");
    char *pem = nullptr;
    const long pemLength = BIO_get_mem_data(bio.get(), &pem);
    unsigned char *der = nullptr;
    const int derLength = i2d_PUBKEY(pkey.get(), &der);
    checked(derLength > 0, "i2d_PUBKEY");
    Key key{QByteArray(pem, int(pemLength)), QByteArray(reinterpret_cast<const char *>(der), derLength)};
    OPENSSL_free(der);
    return key;
}

QByteArray signDER(const Key &key, const QByteArray &message)
{
    const Pkey pkey = privateKey(key);
    const MdContext context(checked(EVP_MD_CTX_new(), "EVP_MD_CTX_new"));
    checked(EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, pkey.get()) == 1, "EVP_DigestSignInit");
    QByteArray signature(256, Qt::Uninitialized); // more than a DER signature of either curve takes
    size_t length = size_t(signature.size());
    checked(EVP_DigestSign(context.get(), reinterpret_cast<unsigned char *>(signature.data()), &length,
                           reinterpret_cast<const unsigned char *>(message.constData()), size_t(message.size())) == 1,
            "EVP_DigestSign");
    signature.truncate(qsizetype(length));
    return signature;
}

QByteArray signRaw(const Key &key, const QByteArray &message)
{
    const QByteArray der = signDER(key, message);
    const auto *cursor = reinterpret_cast<const unsigned char *>(der.constData());
    const EcdsaSig signature(checked(d2i_ECDSA_SIG(nullptr, &cursor, der.size()), "d2i_ECDSA_SIG"));
    QByteArray raw(64, '\0');
    auto *out = reinterpret_cast<unsigned char *>(raw.data());
    checked(BN_bn2binpad(ECDSA_SIG_get0_r(signature.get()), out, 32) == 32 && BN_bn2binpad(ECDSA_SIG_get0_s(signature.get()), out + 32, 32) == 32,
            "BN_bn2binpad");
    return raw;
}

QByteArray manifestMessage(const QString &version, const QString &url, const QString &sha512)
{
    return (version + u'\n' + url + u'\n' + sha512).toUtf8();
}

UpdateManifest signedManifest(const Key &key, const QString &version, const QString &url, const QString &sha512)
{
    return UpdateManifest{version, url, sha512, QString::fromLatin1(signDER(key, manifestMessage(version, url, sha512)).toBase64())};
}

QByteArray manifestJSON(const UpdateManifest &manifest)
{
    const QJsonObject object{{QStringLiteral("version"), manifest.version}, {QStringLiteral("url"), manifest.url},
                             {QStringLiteral("sha512"), manifest.sha512}, {QStringLiteral("sig"), manifest.sig}};
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

bool writeCodeSignature(const QString &bundleRoot, const Key &key, const QString &identifier, const QString &authority)
{
    const QDir root(bundleRoot);
    QList<std::pair<QByteArray, QString>> files; // path in UTF-8, digest
    for (QDirIterator walk(bundleRoot, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories); walk.hasNext();) {
        const QFileInfo info(walk.next());
        const QString path = root.relativeFilePath(info.filePath());
        if (info.isSymLink())
            return false;
        if (!info.isFile() || path == QLatin1String("CodeSignature.json"))
            continue;
        QFile file(info.filePath());
        if (!file.open(QIODevice::ReadOnly))
            return false;
        files.append({path.toUtf8(), QString::fromLatin1(QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256).toBase64())});
    }
    std::sort(files.begin(), files.end());
    QByteArray message = identifier.toUtf8() + '\n' + authority.toUtf8() + '\n';
    QJsonObject listed;
    for (const auto &[path, digest] : std::as_const(files)) {
        message += path + '\n' + digest.toLatin1() + '\n';
        listed.insert(QString::fromUtf8(path), digest);
    }
    const QJsonObject document{{QStringLiteral("identifier"), identifier},
                               {QStringLiteral("authority"), authority},
                               {QStringLiteral("files"), listed},
                               {QStringLiteral("signature"), QString::fromLatin1(signDER(key, message).toBase64())}};
    QSaveFile file(root.filePath(QStringLiteral("CodeSignature.json")));
    return file.open(QIODevice::WriteOnly) && file.write(QJsonDocument(document).toJson()) >= 0 && file.commit();
}

bool writeMinimalBundle(const QString &bundleRoot, const QString &version)
{
    const QDir root(bundleRoot);
    Elf64_Ehdr header{};
    std::copy_n(ELFMAG, SELFMAG, header.e_ident);
    header.e_ident[EI_CLASS] = ELFCLASS64;
    header.e_ident[EI_DATA] = QSysInfo::ByteOrder == QSysInfo::LittleEndian ? ELFDATA2LSB : ELFDATA2MSB;
    header.e_ident[EI_VERSION] = header.e_version = EV_CURRENT;
    header.e_type = ET_EXEC;
    header.e_machine = BundleValidation::runningMachine();
    header.e_ehsize = sizeof header;
    const QJsonObject bundleJSON{{QStringLiteral("identifier"), QStringLiteral("com.tarvo.murmex")},
                                 {QStringLiteral("version"), version},
                                 {QStringLiteral("executable"), QStringLiteral("murmex")}};
    return root.mkpath(QStringLiteral("bin")) && root.mkpath(QStringLiteral("share/murmex"))
        && writeFile(root.filePath(QStringLiteral("bundle.json")), QJsonDocument(bundleJSON).toJson())
        && writeFile(root.filePath(QStringLiteral("bin/murmex")), QByteArray(reinterpret_cast<const char *>(&header), sizeof header))
        && QFile::setPermissions(root.filePath(QStringLiteral("bin/murmex")), QFileDevice::Permissions(0x7055)) // rwxr-xr-x
        && writeFile(root.filePath(QStringLiteral("share/murmex/README.md")), QByteArrayLiteral("Murmex\n"));
}

} // namespace UpdateSigning
