#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The end of a program's output, kept as it arrives so that the log can say how the program ended:
// only the last few kilobytes are held, whatever the program prints.
class OutputTail {
public:
    static constexpr int maxLines = 20;
    static constexpr qsizetype maxBytes = 4096;

    void append(const QByteArray &chunk);
    void clear() { tail.clear(); }
    // The last lines, oldest first, trimmed, without blank ones.
    QStringList lines() const;
    // Whether one of those lines holds `text`, ignoring case.
    bool mentions(const QString &text) const;

    // The end of a file (a job's transcription.log); nothing when it cannot be read.
    static OutputTail ofFile(const QString &path);

private:
    QByteArray tail; // at most maxBytes, starting at a line
};
