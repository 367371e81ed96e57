#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

// The cue player's processes: how they are made and how they are ended.
namespace CueProcesses {

// A player process, not yet started: standard input and output on the null device, standard error
// Murmex's own with `trace` (start-up tracing on), else the null device; Murmex's environment. It
// deletes itself once it has ended or could not be started.
QProcess *make(const QString &player, const QStringList &arguments, bool trace, QObject *parent);

// Asks a running player to end (SIGTERM), and kills it should it still run a second later. Never
// waits for it.
void end(QProcess *process);

} // namespace CueProcesses
