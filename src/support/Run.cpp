#include "Run.h"

#include <QProcess>

RunResult run(const QString &program, const QStringList &arguments, int timeoutMilliseconds)
{
    RunResult result;
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForStarted(timeoutMilliseconds)) {
        result.errorMessage = process.errorString();
        return result;
    }
    process.closeWriteChannel();
    if (!process.waitForFinished(timeoutMilliseconds)) {
        process.kill();
        process.waitForFinished(2000);
        result.output = process.readAll();
        result.errorMessage = QStringLiteral("%1 did not finish within %2 ms").arg(program).arg(timeoutMilliseconds);
        return result;
    }
    result.output = process.readAll();
    if (process.exitStatus() == QProcess::CrashExit) {
        result.errorMessage = QStringLiteral("%1 crashed").arg(program);
        return result;
    }
    result.status = process.exitCode();
    return result;
}
