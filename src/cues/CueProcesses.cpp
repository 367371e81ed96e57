#include "CueProcesses.h"

#include <QTimer>

namespace {
constexpr int killAfterMilliseconds = 1000;
}

QProcess *CueProcesses::make(const QString &player, const QStringList &arguments, bool trace, QObject *parent)
{
    auto *process = new QProcess(parent);
    process->setProgram(player);
    process->setArguments(arguments);
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(QProcess::nullDevice());
    if (trace)
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    else
        process->setStandardErrorFile(QProcess::nullDevice());
    QObject::connect(process, &QProcess::finished, process, &QObject::deleteLater);
    QObject::connect(process, &QProcess::errorOccurred, process, [process](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            process->deleteLater();
    });
    return process;
}

void CueProcesses::end(QProcess *process)
{
    if (!process || process->state() == QProcess::NotRunning)
        return;
    process->terminate();
    QTimer::singleShot(killAfterMilliseconds, process, [process] { process->kill(); });
}
