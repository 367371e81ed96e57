#include "KeptRecordings.h"

#include "audio/SegmentFile.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

QString standardized(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

// The number of "segment-012.wav"; names that carry none go last.
qint64 segmentNumber(const QString &fileName)
{
    const QString digits = fileName.mid(8, fileName.size() - 12); // between "segment-" and ".wav"
    bool ok = false;
    const qint64 number = digits.toLongLong(&ok);
    return ok ? number : std::numeric_limits<qint64>::max();
}

// The time in the name Murmex gives a dictation folder, "2026-12-07_14-05-00_1A2B3C4D".
QDateTime dateInName(const QString &name)
{
    if (name.size() < 19 || (name.size() > 19 && name.at(19) != QLatin1Char('_')))
        return {};
    return QDateTime::fromString(name.left(19), QStringLiteral("yyyy-MM-dd_HH-mm-ss"));
}

QDateTime newestModification(const QStringList &files)
{
    QDateTime newest;
    for (const QString &file : files)
        if (const QDateTime modified = QFileInfo(file).lastModified(); modified.isValid() && (!newest.isValid() || modified > newest))
            newest = modified;
    return newest;
}

} // namespace

QStringList keptRecordingSegments(const QString &folder)
{
    QFileInfoList files = QDir(folder).entryInfoList({QStringLiteral("segment-*.wav")}, QDir::Files);
    std::ranges::sort(files, [](const QFileInfo &a, const QFileInfo &b) {
        return std::pair(segmentNumber(a.fileName()), a.fileName()) < std::pair(segmentNumber(b.fileName()), b.fileName());
    });
    QStringList segments;
    for (const QFileInfo &file : files)
        if (SegmentFile::holdsAudio(file.filePath()))
            segments.append(file.filePath());
    return segments;
}

QList<KeptRecording> keptRecordings(const QString &recordingsRoot, const QStringList &excludedFolders, int limit)
{
    QStringList excluded;
    for (const QString &folder : excludedFolders)
        if (!folder.isEmpty())
            excluded.append(standardized(folder));

    QList<KeptRecording> found;
    // Without QDir::Hidden, names starting with a dot are not listed.
    const QFileInfoList entries = QDir(recordingsRoot).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        // A link may lead out of the recordings root, where nothing is transcribed or deleted.
        if (entry.isSymLink() || excluded.contains(standardized(entry.filePath())))
            continue;
        KeptRecording recording{.folder = entry.filePath(), .date = {}, .speechSeconds = 0, .segments = keptRecordingSegments(entry.filePath())};
        if (recording.segments.isEmpty())
            continue;
        recording.date = dateInName(entry.fileName());
        if (!recording.date.isValid())
            recording.date = newestModification(recording.segments);
        for (const QString &segment : recording.segments)
            recording.speechSeconds += SegmentFile::audioSeconds(segment);
        found.append(recording);
    }
    std::ranges::sort(found, [](const KeptRecording &a, const KeptRecording &b) {
        return a.date != b.date ? a.date > b.date : a.folder > b.folder;
    });
    return found.mid(0, std::max(0, limit));
}

QString menuTitle(const KeptRecording &recording)
{
    static const char *const months[] = {"ene", "feb", "mar", "abr", "may", "jun", "jul", "ago", "sept", "oct", "nov", "dic"};
    const QDate day = recording.date.date();
    const QString date = day.isValid() ? QStringLiteral("%1 %2 %3")
                                              .arg(day.day())
                                              .arg(QLatin1String(months[day.month() - 1]), recording.date.time().toString(QStringLiteral("HH:mm")))
                                       : QStringLiteral("Sin fecha");
    // Any audio at all shows as a second at least.
    const qint64 seconds = recording.speechSeconds > 0 ? std::max<qint64>(1, std::llround(recording.speechSeconds)) : 0;
    const auto twoDigits = [](qint64 value) { return QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0')); };
    const QString length = seconds >= 3600 ? QStringLiteral("%1:%2:%3").arg(seconds / 3600).arg(twoDigits(seconds / 60 % 60), twoDigits(seconds % 60))
                                           : QStringLiteral("%1:%2").arg(seconds / 60).arg(twoDigits(seconds % 60));
    return date + QStringLiteral(" · ") + length;
}
