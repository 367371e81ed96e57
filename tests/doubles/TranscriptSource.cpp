#include "TranscriptSource.h"

#include <QFileInfo>

#include <algorithm>

QStringList TranscriptSource::take(const QString &audioFileName)
{
    if (transcripts.isEmpty())
        return {QFileInfo(audioFileName).completeBaseName()};
    const QString entry = transcripts.at(std::min(next, transcripts.size() - 1));
    ++next;
    return entry.split(QStringLiteral("\\n"), Qt::SkipEmptyParts);
}
