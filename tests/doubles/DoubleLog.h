#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>

// The record a double keeps for the test: one JSON object per line, appended to the file named by
// MURMEX_DOUBLE_LOG (several doubles may share one file). Every line has "program", "pid" and
// "event". Each line is one write() on a file opened for appending, so lines of concurrent
// writers do not mix.
class DoubleLog {
public:
    DoubleLog(QString program, const QString &path); // an empty path keeps no record
    ~DoubleLog();
    DoubleLog(const DoubleLog &) = delete;
    DoubleLog &operator=(const DoubleLog &) = delete;

    void write(const QString &event, QJsonObject fields = {});
    void writeStart(const QStringList &arguments);
    // Ends a run: `message` (if any) to standard error and the record, then `status` to return.
    int writeExit(int status, const QString &message = {});

    // A finished line for a signal handler to hand to writeRaw(), which only calls write(2).
    QByteArray line(const QString &event, QJsonObject fields = {}) const;
    void writeRaw(const char *line, size_t length) const;

private:
    QString program;
    int fd = -1;
};
