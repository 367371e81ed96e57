#pragma once

#include "support/Error.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>

// What the manifest, bundle-signature and bundle checks share: strict readings of Base64 and
// JSON, ECDSA P-256 verification and streaming file digests. OpenSSL stays in the .cpp.
namespace UpdateSecurityDetail {

inline const QString errorDomain = QStringLiteral("MurmexUpdater");
enum ErrorCode { fileUnreadable = 1, bundleRefused = 2 };

// Standard Base64 written the one way an encoder writes it: padded, the unused bits clear, no
// whitespace or other character. None otherwise.
[[nodiscard]] std::optional<QByteArray> strictBase64(const QString &text);

// The object of a JSON document that is one object, in which no object (at any depth) repeats a
// key, also when spelt with escapes. QJsonDocument keeps only the last of a repeated key, so the
// members written (one ":" outside strings each) are counted against the members it kept.
[[nodiscard]] std::optional<QJsonObject> objectWithoutRepeatedKeys(const QByteArray &json);

// Whether the DER is the SubjectPublicKeyInfo of an ECDSA P-256 public key (nothing after it).
[[nodiscard]] bool isP256PublicKey(const QByteArray &publicKeyDER);

// Whether `signatureDER` is a strict DER ECDSA signature over `message`, hashed with SHA-256, by
// the P-256 key `publicKeyDER`. A raw r‖s signature is not DER and is refused.
[[nodiscard]] bool isValidSignature(const QByteArray &message, const QByteArray &signatureDER, const QByteArray &publicKeyDER);

enum class Digest { sha256, sha512 };
// Standard Base64 of the file's digest, read in chunks of UpdateSecurity::digestChunkBytes; the
// file is closed on every exit. With `refuseLink` a symbolic link is not opened. The error names
// the file and why it could not be read.
[[nodiscard]] Expected<QString> fileDigestBase64(const QString &path, Digest digest, bool refuseLink = false);

// Everything inside a bundle folder, walked without following symbolic links, in byte order of
// the path relative to the folder ("bin/murmex"). The error says which item could not be read.
struct BundleEntry {
    enum Kind { file, directory, symbolicLink, other };
    QString path;
    Kind kind = other;
};
[[nodiscard]] Expected<QList<BundleEntry>> bundleEntries(const QString &bundleRoot);

// An update refused, for the log: the description says what failed.
[[nodiscard]] Error refusal(const QString &description);

} // namespace UpdateSecurityDetail
