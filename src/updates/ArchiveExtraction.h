#pragma once

#include "support/Error.h"

#include <QString>

// Unpacks a zip archive into an existing folder with libarchive's secure-extraction flags, and
// refuses (stopping at once) any entry that is not a regular file or a directory, that carries a
// link target (symbolic or hard), whose path is absolute or holds "..", or whose total unpacked
// size would pass `maximumBytes`. On failure the error says which entry and why; what was
// unpacked so far stays for the caller to remove with its staging folder.
namespace ArchiveExtraction {

[[nodiscard]] Expected<void> extractZip(const QString &archivePath, const QString &destinationFolder, qint64 maximumBytes);

} // namespace ArchiveExtraction
