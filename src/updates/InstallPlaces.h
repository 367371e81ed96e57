#pragma once

#include <QString>

// Where an installed Murmex lives, and who keeps it current. Only a bundle in one of the two
// accepted places, whose parent folder the user can write and that no one else manages, updates
// itself.
struct InstallPlaces {
    QString system; // "/opt/murmex"
    QString user;   // "$HOME/.local/opt/murmex"

    static InstallPlaces forHome(const QString &home);
    static InstallPlaces forCurrentUser();

    // The cleaned path is one of the two.
    [[nodiscard]] bool accepts(const QString &bundleRoot) const;
};

// Who manages a bundle, from the "managedBy" key of its bundle.json:
//   "build-tree"       built by scripts/build or the tests: never installs or updates itself
//   "package-manager"  installed by a Debian package: the package manager updates it
//   absent             an update archive: installs and updates itself
enum class BundleManager { self, buildTree, packageManager };
[[nodiscard]] BundleManager bundleManager(const QString &bundleRoot);
