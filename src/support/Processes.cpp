#include "Processes.h"

#include <QFile>
#include <QStringDecoder>

#include <csignal>
#include <limits>

namespace {
bool isProbeablePid(qint64 pid)
{
    return pid >= 2 && pid <= std::numeric_limits<pid_t>::max();
}
} // namespace

bool Processes::exists(qint64 pid)
{
    return isProbeablePid(pid) && ::kill(pid_t(pid), 0) == 0;
}

bool Processes::terminate(qint64 pid)
{
    return isProbeablePid(pid) && ::kill(pid_t(pid), SIGTERM) == 0;
}

std::optional<QString> Processes::commandLine(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/cmdline").arg(pid));
    if (!isProbeablePid(pid) || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray bytes = file.readAll();
    bytes.replace('\0', ' ');
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return QString(); // undecodable output counts as empty
    return text.trimmed();
}
