#include "UpdateSecurity.h"
#include "UpdateSecurityDetail.h"

#include <QJsonObject>
#include <QStringList>
#include <QUrl>

#include <algorithm>

namespace UpdateSecurity {
namespace {

const QString versionKey = QStringLiteral("version");
const QString urlKey = QStringLiteral("url");
const QString sha512Key = QStringLiteral("sha512");
const QString sigKey = QStringLiteral("sig");

bool isASCIIDigits(QStringView text)
{
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

} // namespace

std::optional<UpdateManifest> verifiedManifest(const QByteArray &data, const UpdateTrust &trust)
{
    if (data.size() > maximumManifestBytes)
        return std::nullopt;
    const auto object = UpdateSecurityDetail::objectWithoutRepeatedKeys(data);
    if (!object || object->size() != 4)
        return std::nullopt;
    for (const QString &key : {versionKey, urlKey, sha512Key, sigKey}) {
        if (!object->value(key).isString())
            return std::nullopt;
    }
    const UpdateManifest manifest{object->value(versionKey).toString(), object->value(urlKey).toString(),
                                  object->value(sha512Key).toString(), object->value(sigKey).toString()};
    if (!semanticVersion(manifest.version) || !isAllowedDownloadURL(manifest.url, manifest.version, trust))
        return std::nullopt;
    const auto digest = UpdateSecurityDetail::strictBase64(manifest.sha512);
    if (!digest || digest->size() != 64)
        return std::nullopt;
    if (!UpdateSecurityDetail::isP256PublicKey(trust.publicKeyDER))
        return std::nullopt;
    const auto signature = UpdateSecurityDetail::strictBase64(manifest.sig);
    if (!signature)
        return std::nullopt;
    const QByteArray message = (manifest.version + QLatin1Char('\n') + manifest.url + QLatin1Char('\n') + manifest.sha512).toUtf8();
    if (!UpdateSecurityDetail::isValidSignature(message, *signature, trust.publicKeyDER))
        return std::nullopt;
    return manifest;
}

std::optional<std::array<qint64, 3>> semanticVersion(const QString &text)
{
    const QStringList pieces = text.split(QLatin1Char('.'), Qt::KeepEmptyParts);
    if (pieces.size() != 3)
        return std::nullopt;
    std::array<qint64, 3> version{};
    for (int i = 0; i < 3; ++i) {
        bool fits = false;
        version[size_t(i)] = pieces[i].toLongLong(&fits);
        if (!isASCIIDigits(pieces[i]) || !fits)
            return std::nullopt;
    }
    return version;
}

bool isNewer(const QString &candidate, const QString &current)
{
    const auto candidateVersion = semanticVersion(candidate);
    const auto currentVersion = semanticVersion(current);
    return candidateVersion && currentVersion && *candidateVersion > *currentVersion;
}

bool isAllowedDownloadURL(const QString &url, const QString &version, const UpdateTrust &trust)
{
    // QUrl lowers the scheme's and the host's case and reads "08080" as 8080: the scheme and the
    // authority are compared as written, so the port is explicit and there is no user or password.
    const QString scheme = QStringLiteral("http://");
    if (!url.startsWith(scheme))
        return false;
    qsizetype authorityEnd = scheme.size();
    while (authorityEnd < url.size() && !QStringLiteral("/?#").contains(url[authorityEnd]))
        ++authorityEnd;
    const QString authority = trust.feedHost + QLatin1Char(':') + QString::number(trust.feedPort);
    if (QStringView(url).sliced(scheme.size(), authorityEnd - scheme.size()) != authority)
        return false;
    const QUrl parsed(url, QUrl::StrictMode);
    return parsed.isValid() && parsed.scheme() == QLatin1String("http")
        && parsed.host().compare(trust.feedHost, Qt::CaseInsensitive) == 0 && parsed.port() == trust.feedPort
        && parsed.userInfo().isEmpty() && !parsed.hasQuery() && !parsed.hasFragment()
        && parsed.path(QUrl::FullyDecoded) == QLatin1Char('/') + trust.archiveFileName(version);
}

Expected<QString> sha512Base64(const QString &path)
{
    return UpdateSecurityDetail::fileDigestBase64(path, UpdateSecurityDetail::Digest::sha512);
}

} // namespace UpdateSecurity
