#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Runs a program to its end and collects its exit status and combined output. Blocks the calling
// thread (never call it on the main thread); a program that outlives the time-out is killed.
struct RunResult {
    int status = -1;       // exit status, or -1 when the program could not start or was killed
    QByteArray output;     // standard output and standard error, interleaved
    QString errorMessage;  // why it did not run to its end, empty otherwise
};

RunResult run(const QString &program, const QStringList &arguments, int timeoutMilliseconds = 30000);
