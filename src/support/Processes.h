#pragma once

#include <QString>
#include <QtGlobal>

#include <optional>

// Other processes by id, as the orphan clean-up and the server job need them.
namespace Processes {

// A signal-0 probe: the process exists (and may be signalled).
bool exists(qint64 pid);
bool terminate(qint64 pid); // SIGTERM
// The command line from /proc/PID/cmdline, its NUL separators read as spaces, trimmed; none when
// it cannot be read or is not UTF-8.
std::optional<QString> commandLine(qint64 pid);
// When the process started, in clock ticks after boot (field 22 of /proc/PID/stat): with the id,
// it names one process, where an id alone may have been given to another since.
std::optional<quint64> startTime(qint64 pid);
// The start time in the text of /proc/PID/stat: the fields after the command name's closing
// parenthesis (the name may hold spaces and parentheses itself).
std::optional<quint64> startTimeInStat(const QByteArray &stat);
// The real user id the process runs as (/proc/PID/status).
std::optional<uint> userId(qint64 pid);
// The program file the process runs (/proc/PID/exe); none when it cannot be read, as for another
// user's process.
std::optional<QString> executable(qint64 pid);

} // namespace Processes
