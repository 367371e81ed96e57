#pragma once

#include "UpdateTrust.h"
#include "support/Error.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <optional>

// The signed description of the newest version: what it is, where its archive lies, the archive's
// SHA-512 and an ECDSA P-256 signature over the three.
struct UpdateManifest {
    QString version; // "1.4.2"
    QString url;     // the archive's download address
    QString sha512;  // standard Base64 (padded) of the archive's 64-byte SHA-512
    QString sig;     // standard Base64 of a DER ECDSA P-256 signature

    bool operator==(const UpdateManifest &) const = default;
};

// Manifest checks, version comparison and the archive digest. Stateless; any thread.
namespace UpdateSecurity {

inline constexpr qint64 maximumManifestBytes = 262'144;
inline constexpr qint64 maximumArchiveBytes = 629'145'600;
inline constexpr qint64 digestChunkBytes = 1'048'576;

// The only way a manifest enters Murmex: the raw bytes of a feed answer, checked strictly (size,
// one JSON object with exactly the keys "version", "url", "sha512", "sig", none repeated, all
// strings, a semantic version, an allowed download URL, a 64-byte digest, a DER signature valid
// under the trust's key over version + "\n" + url + "\n" + sha512). Any failure gives none.
[[nodiscard]] std::optional<UpdateManifest> verifiedManifest(const QByteArray &data, const UpdateTrust &trust);

// Exactly three dot-separated non-empty runs of ASCII digits, each fitting in 64 bits; else none.
[[nodiscard]] std::optional<std::array<qint64, 3>> semanticVersion(const QString &text);
// False when either has no version; otherwise the candidate's triple is greater.
[[nodiscard]] bool isNewer(const QString &candidate, const QString &current);
// Scheme exactly "http", the trust's host and port (given explicitly), no user, password, query
// or fragment, and the path "/" + trust.archiveFileName(version).
[[nodiscard]] bool isAllowedDownloadURL(const QString &url, const QString &version, const UpdateTrust &trust);

// Standard Base64 of the file's SHA-512, read in 1 MiB chunks; the error names the file and why.
[[nodiscard]] Expected<QString> sha512Base64(const QString &path);

} // namespace UpdateSecurity
