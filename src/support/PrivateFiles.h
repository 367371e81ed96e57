#pragma once

#include <QString>

// Murmex's own files hold a person's voice and words: they are private to the user (folders 0700,
// files 0600) and always real files inside Murmex's folders. A symbolic link found where Murmex
// writes is removed, never followed, so nothing is written or created elsewhere through it.
namespace PrivateFiles {

// The creation mode for everything the process and its children create: no access for others.
void restrictNewFiles();

// Removes `path` when it is a symbolic link (dangling or not) and logs it. Returns whether one was.
bool removeLink(const QString &path);

// Creates `folder` below `base`, and the missing folders between them, each private. `base` (the
// support root) is created as well when missing and may itself be a link the user made; a link in
// the way below it is replaced by a real folder.
[[nodiscard]] bool makeFolder(const QString &base, const QString &folder);

// Takes away group and other permissions from `root` and everything below it, without following
// links: for folders left by earlier versions or created under a wider umask.
void tighten(const QString &root);

} // namespace PrivateFiles
