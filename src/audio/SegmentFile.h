#pragma once

#include "support/Error.h"

#include <QString>

// The segment files of dictations as they lie on disk, including those a recording left behind
// without closing them (Murmex killed, the disk full): their length tells how much audio they hold
// even when their header does not.
namespace SegmentFile {

// When the RIFF size or the data chunk's size disagrees with the file's length, sets them from that
// length, in place: the data chunk then holds the whole frames after its start (a partial last
// frame is left outside it). Returns whether the file changed; an error, with the file untouched,
// when it cannot be opened or is not a RIFF/WAVE file with fmt and data chunks.
[[nodiscard]] Expected<bool> repairHeader(const QString &path);

// Seconds of audio the file's header announces (as an audio reader sees it); 0 when unreadable.
double audioSeconds(const QString &path);

// Whether the file holds at least one audio frame, judged by its length past the header, so a file
// whose header was never completed counts by what it holds.
bool holdsAudio(const QString &path);

// Repairs every segment-*.wav of every dictation folder directly under `recordingsRoot` whose
// header disagrees with its length, logging each file repaired and each that could not be (left as
// it is). Returns how many were repaired.
int repairInterruptedRecordings(const QString &recordingsRoot);

} // namespace SegmentFile
