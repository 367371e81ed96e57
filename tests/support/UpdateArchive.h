#pragma once

#include <QByteArray>
#include <QList>
#include <QStringList>

#include <sys/stat.h>

#include <optional>

// Update archives for the tests: a folder as a zip, its files under one top folder, as
// scripts/package makes them; zips of entries no archive of ours holds, for the refusals; and the
// file helpers the update tests share.
namespace UpdateArchive {

// A zip entry as a test writes it. What libarchive's writer refuses to write (devices, FIFOs, a
// size that understates the data) is patched into the headers afterwards.
struct Entry {
    QByteArray path;
    mode_t mode = S_IFREG | 0644;
    QByteArray content = {};
    QByteArray link = {}; // symbolic link target, or hard link target when hardLink
    bool hardLink = false;
    std::optional<quint32> statedSize = {};
};
QByteArray zip(const QList<Entry> &entries); // empty when libarchive fails

// Every file and folder below `folder` as "<top>/…"; `extraSymlink`, when given, adds a symbolic
// link at that path inside the archive (pointing to /etc/passwd).
QByteArray zip(const QString &folder, const QString &top, const QString &extraSymlink = {});

// Everything below `folder`, relative to it and sorted, links included and not followed.
QStringList entriesBelow(const QString &folder);
QByteArray readFile(const QString &path); // empty when it cannot be read
bool writeFile(const QString &path, const QByteArray &content);

} // namespace UpdateArchive
