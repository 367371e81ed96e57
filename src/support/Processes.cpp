#include "Processes.h"

#include <QFile>
#include <QStringDecoder>

#include <array>
#include <climits>
#include <csignal>
#include <limits>
#include <unistd.h>

namespace {

constexpr qint64 maxProcFileBytes = 64 * 1024;

bool isProbeablePid(qint64 pid)
{
    return pid >= 2 && pid <= std::numeric_limits<pid_t>::max();
}

// A small file of /proc/PID, read up to a bound: it reports no size and may be anything.
std::optional<QByteArray> procFile(qint64 pid, const char *name)
{
    QFile file(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1StringView(name)));
    if (!isProbeablePid(pid) || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray bytes;
    while (bytes.size() < maxProcFileBytes) {
        const QByteArray chunk = file.read(maxProcFileBytes - bytes.size());
        if (chunk.isEmpty())
            break;
        bytes += chunk;
    }
    return bytes;
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
    auto bytes = procFile(pid, "cmdline");
    if (!bytes)
        return std::nullopt;
    bytes->replace('\0', ' ');
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder.decode(*bytes);
    if (decoder.hasError())
        return QString(); // undecodable output counts as empty
    return text.trimmed();
}

std::optional<quint64> Processes::startTimeInStat(const QByteArray &stat)
{
    // "PID (NAME) STATE PPID …": after the name come fields 3, 4, …; the start time is field 22.
    constexpr qsizetype startTimeAfterName = 22 - 3;
    const qsizetype nameEnd = stat.lastIndexOf(')');
    if (nameEnd < 0)
        return std::nullopt;
    const QList<QByteArray> fields = stat.mid(nameEnd + 1).simplified().split(' ');
    if (fields.size() <= startTimeAfterName)
        return std::nullopt;
    bool ok = false;
    const quint64 ticks = fields.at(startTimeAfterName).toULongLong(&ok);
    return ok ? std::optional(ticks) : std::nullopt;
}

std::optional<quint64> Processes::startTime(qint64 pid)
{
    const auto stat = procFile(pid, "stat");
    return stat ? startTimeInStat(*stat) : std::nullopt;
}

std::optional<uint> Processes::userId(qint64 pid)
{
    const auto status = procFile(pid, "status");
    if (!status)
        return std::nullopt;
    for (const QByteArray &line : status->split('\n')) {
        if (!line.startsWith("Uid:"))
            continue;
        bool ok = false;
        const uint uid = line.mid(4).simplified().split(' ').value(0).toUInt(&ok); // real, effective, saved, file system
        return ok ? std::optional(uid) : std::nullopt;
    }
    return std::nullopt;
}

std::optional<QString> Processes::executable(qint64 pid)
{
    if (!isProbeablePid(pid))
        return std::nullopt;
    std::array<char, PATH_MAX> target{};
    const ssize_t length = ::readlink(QFile::encodeName(QStringLiteral("/proc/%1/exe").arg(pid)).constData(), target.data(), target.size() - 1);
    if (length <= 0)
        return std::nullopt;
    return QFile::decodeName(QByteArray(target.data(), length));
}
