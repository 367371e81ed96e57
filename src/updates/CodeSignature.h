#pragma once

#include "support/Error.h"

#include <QByteArray>
#include <QMap>
#include <QString>

// The signature of a bundle, "CodeSignature.json" at its root:
//   {"identifier": "com.tarvo.murmex",
//    "authority": "TARVO Self Signed",
//    "files": {"bin/murmex": "<Base64 SHA-256>", …},   every regular file but this one
//    "signature": "<Base64 DER ECDSA P-256 signature>"}
// The signature is over signedMessage() with SHA-256 as the message digest. A bundle verifies when
// the document is exactly that, the authority is "TARVO Self Signed", the identifier is the one
// expected, every regular file of the bundle is listed with its digest (none missing, none extra,
// none changed) and the signature is valid under the authority's public key.
namespace CodeSignature {

inline const QString fileName = QStringLiteral("CodeSignature.json");
inline const QString authorityName = QStringLiteral("TARVO Self Signed");

// identifier + "\n" + authority + "\n", then for each file in byte order of its path:
// path + "\n" + digest + "\n". Paths are relative with "/" and never hold a line feed.
[[nodiscard]] QByteArray signedMessage(const QString &identifier, const QString &authority, const QMap<QString, QString> &files);

// The error's description says what failed (for the updater's log), e.g. which file changed.
[[nodiscard]] Expected<void> verify(const QString &bundleRoot, const QString &expectedIdentifier, const QByteArray &publicKeyDER);

} // namespace CodeSignature
