#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

// A dictation folder left in the recordings root: its transcription failed, or Murmex ended
// before it was done. The tray offers the newest ones for another transcription.
struct KeptRecording {
    QString folder;
    QDateTime date;            // when it was recorded, local time
    double speechSeconds = 0;  // the audio it holds, silence included
    QStringList segments;      // its segment-*.wav files that hold audio, in recording order
};

// The dictation folders directly under `recordingsRoot` that hold at least one segment with audio,
// newest first, at most `limit`. Hidden folders, links, plain files and `excludedFolders` (the
// dictation being recorded or transcribed) are left out. The date is the one in the folder's name
// (yyyy-MM-dd_HH-mm-ss_…), else the modification time of its newest segment.
QList<KeptRecording> keptRecordings(const QString &recordingsRoot, const QStringList &excludedFolders, int limit = 10);

// The segment-*.wav files of `folder` that hold audio, in recording order (by their number, so
// that segment-1000 comes after segment-999).
QStringList keptRecordingSegments(const QString &folder);

// "7 dic 14:05 · 0:42": the day, the Spanish month's abbreviation, the time, and the length of the
// audio (h:mm:ss from an hour on).
QString menuTitle(const KeptRecording &recording);
