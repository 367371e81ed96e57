#pragma once

#include <QByteArray>
#include <QString>

// Update archives for the tests: a folder as a zip, its files under one top folder, as
// scripts/package makes them; and entries no archive of ours holds, for the refusals.
namespace UpdateArchive {

// Every file and folder below `folder` as "<top>/…"; `extraSymlink`, when given, adds a symbolic
// link at that path inside the archive (pointing to /etc/passwd).
QByteArray zip(const QString &folder, const QString &top, const QString &extraSymlink = {});

} // namespace UpdateArchive
