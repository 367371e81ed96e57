#include "OutputTail.h"

#include <QFile>

void OutputTail::append(const QByteArray &chunk)
{
    tail += chunk;
    if (tail.size() <= maxBytes)
        return;
    tail = tail.right(maxBytes);
    // The first line was cut: what is left of it says nothing on its own.
    if (const qsizetype lineEnd = tail.indexOf('\n'); lineEnd >= 0)
        tail.remove(0, lineEnd + 1);
}

QStringList OutputTail::lines() const
{
    QStringList lines;
    for (const QByteArray &line : tail.split('\n'))
        if (const QString text = QString::fromUtf8(line).trimmed(); !text.isEmpty())
            lines.append(text);
    return lines.mid(qMax(qsizetype(0), lines.size() - maxLines));
}

bool OutputTail::mentions(const QString &text) const
{
    return QString::fromUtf8(tail).contains(text, Qt::CaseInsensitive);
}

OutputTail OutputTail::ofFile(const QString &path)
{
    OutputTail output;
    QFile file(path);
    if (file.open(QIODevice::ReadOnly) && file.seek(qMax(qint64(0), file.size() - maxBytes)))
        output.append(file.read(maxBytes));
    return output;
}
