#pragma once

#include "updates/UpdateSecurity.h"
#include "updates/UpdateTrust.h"

#include <QByteArray>
#include <QString>

// Signing for the update tests, in the forms scripts/sign-update writes: P-256 keys, ECDSA
// signatures, manifests and bundle signatures. Written apart from the code it tests (its own walk
// and digests), so the two agreeing means something. A failure of OpenSSL here ends the test.
namespace UpdateSigning {

struct Key {
    QByteArray privatePEM;   // PKCS#8 PEM
    QByteArray publicKeyDER; // the 91-byte DER SubjectPublicKeyInfo UpdateTrust holds
};

// The key pair made for this build tree at configure time; its PEM file is for scripts/sign-update.
QString testPrivateKeyPath();
Key testKey();
// What UpdateTrust::ofThisBuild() gives in a program linked with murmex_update_trust_test: the feed
// on 127.0.0.1:MURMEX_TEST_UPDATE_PORT, the test key and this build's platform tag.
UpdateTrust testTrust();

// A fresh key; another curve than P-256 ("P-384") for a key Murmex must refuse.
Key generateKey(const char *curve = "P-256");

// ECDSA P-256 over SHA-256 of the message: DER, as Murmex accepts it, or the raw 64-byte r‖s.
QByteArray signDER(const Key &key, const QByteArray &message);
QByteArray signRaw(const Key &key, const QByteArray &message);

// version + "\n" + url + "\n" + sha512, the message a manifest's "sig" signs.
QByteArray manifestMessage(const QString &version, const QString &url, const QString &sha512);
UpdateManifest signedManifest(const Key &key, const QString &version, const QString &url, const QString &sha512);
// {"version", "url", "sha512", "sig"} as one compact JSON object.
QByteArray manifestJSON(const UpdateManifest &manifest);

// Writes bundleRoot/CodeSignature.json over every regular file below the folder. False, with
// nothing written, when the folder holds a symbolic link or cannot be read.
bool writeCodeSignature(const QString &bundleRoot, const Key &key, const QString &identifier = QStringLiteral("com.tarvo.murmex"),
                        const QString &authority = QStringLiteral("TARVO Self Signed"));

// An unsigned bundle that passes validateBundle for `version` once signed: bundle.json,
// bin/murmex (only the 64-byte ELF header of this machine, executable) and share/murmex/README.md.
bool writeMinimalBundle(const QString &bundleRoot, const QString &version);

} // namespace UpdateSigning
