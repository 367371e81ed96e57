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

} // namespace Processes
