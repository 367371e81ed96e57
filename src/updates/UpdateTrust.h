#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

// Whom a build trusts for its updates: the feed's host and port, the public key of the authority
// that signs manifests and bundles, and the machine the archives are built for. Fixed when Murmex
// is built (CMake cache variables MURMEX_UPDATE_HOST, MURMEX_UPDATE_PORT and
// MURMEX_UPDATE_PUBLIC_KEY); nothing at run time can change them. A build without a key does not
// update itself.
struct UpdateTrust {
    QString feedHost;
    int feedPort = 8080;
    // The 91-byte DER SubjectPublicKeyInfo of an ECDSA P-256 key; empty when the build has none.
    QByteArray publicKeyDER;
    // "linux-x86_64" or "linux-aarch64": names the archives this build can install.
    QString platformTag;

    // This build's own values (generated at configure time).
    static UpdateTrust ofThisBuild();

    [[nodiscard]] bool isConfigured() const { return !feedHost.isEmpty() && publicKeyDER.size() == 91; }
    // http://HOST:PORT/murmex-update.json
    [[nodiscard]] QUrl feedURL() const;
    // "Murmex-" + version + "-" + platformTag + ".zip"
    [[nodiscard]] QString archiveFileName(const QString &version) const;
    // http://HOST:PORT/ + archiveFileName(version)
    [[nodiscard]] QString downloadURL(const QString &version) const;
};
