#include "ListeningSocket.h"

#include <QDir>
#include <QFile>
#include <QtEndian>

#include <array>
#include <optional>
#include <unistd.h>

namespace {

constexpr int stateField = 3, uidField = 7, inodeField = 9;
constexpr qint64 maxTableBytes = 16 * 1024 * 1024;

// One 32-bit word of an address as the kernel prints it (hexadecimal, in the host's byte order),
// turned into network order.
std::optional<quint32> addressWord(QByteArrayView hex)
{
    bool ok = false;
    const quint32 word = hex.toByteArray().toUInt(&ok, 16);
    return ok ? std::optional(qFromBigEndian(word)) : std::nullopt;
}

// Whether a listener bound to this address ("0100007F", or 32 digits for IPv6) takes connections
// made to 127.0.0.1.
bool reachesLoopback(QByteArrayView address)
{
    if (address.size() == 8) {
        const auto word = addressWord(address);
        return word && (*word == 0 || *word == 0x7F000001);
    }
    if (address.size() != 32)
        return false;
    std::array<quint32, 4> words{};
    for (qsizetype i = 0; i < 4; ++i) {
        const auto word = addressWord(address.sliced(i * 8, 8));
        if (!word)
            return false;
        words[i] = *word;
    }
    return words[0] == 0 && words[1] == 0 && ((words[2] == 0 && words[3] == 0) || (words[2] == 0xFFFF && words[3] == 0x7F000001));
}

// A file of /proc, which reports no size and comes a page at a time.
QByteArray readTable(const QString &path)
{
    QFile file(path);
    QByteArray table;
    if (!file.open(QIODevice::ReadOnly))
        return table;
    while (table.size() < maxTableBytes) {
        const QByteArray chunk = file.read(qMin(qint64(64 * 1024), maxTableBytes - table.size()));
        if (chunk.isEmpty())
            break;
        table += chunk;
    }
    return table;
}

} // namespace

QList<ListeningSocket::Listener> ListeningSocket::loopbackListeners(const QByteArray &table, int port)
{
    QList<Listener> listeners;
    for (const QByteArray &line : table.split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() <= inodeField || fields.at(stateField) != "0A") // 0A: TCP_LISTEN
            continue;
        const QByteArray &local = fields.at(1);
        const qsizetype colon = local.indexOf(':');
        bool portOk = false, uidOk = false, inodeOk = false;
        const int localPort = colon < 0 ? -1 : local.mid(colon + 1).toInt(&portOk, 16);
        const Listener listener{fields.at(inodeField).toULongLong(&inodeOk), fields.at(uidField).toUInt(&uidOk)};
        if (portOk && uidOk && inodeOk && localPort == port && reachesLoopback(QByteArrayView(local).first(colon)))
            listeners.append(listener);
    }
    return listeners;
}

QSet<quint64> ListeningSocket::socketsOf(qint64 pid)
{
    QSet<quint64> sockets;
    if (pid <= 0)
        return sockets;
    const QString folder = QStringLiteral("/proc/%1/fd").arg(pid);
    for (const QString &entry : QDir(folder).entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot)) {
        // The link is not a path: QFileInfo would make one of it.
        std::array<char, 64> target{};
        const ssize_t length = ::readlink(QFile::encodeName(folder + QLatin1Char('/') + entry).constData(), target.data(), target.size() - 1);
        const QByteArrayView link(target.data(), qMax(ssize_t(0), length));
        bool ok = false;
        if (link.startsWith("socket:[") && link.endsWith("]"))
            if (const quint64 inode = link.sliced(8, link.size() - 9).toByteArray().toULongLong(&ok); ok)
                sockets.insert(inode);
    }
    return sockets;
}

ListeningSocket::Check ListeningSocket::holderOf(const QList<Listener> &listeners, const QSet<quint64> &processSockets)
{
    if (listeners.isEmpty())
        return {};
    for (const Listener &listener : listeners)
        if (!processSockets.contains(listener.inode))
            return {Holder::another, QStringLiteral("escucha en él otro proceso (usuario %1, socket %2).").arg(listener.uid).arg(listener.inode)};
    return {Holder::process, {}};
}

ListeningSocket::Check ListeningSocket::check(int port, qint64 pid)
{
    const QList<Listener> listeners =
        loopbackListeners(readTable(QStringLiteral("/proc/net/tcp")), port) + loopbackListeners(readTable(QStringLiteral("/proc/net/tcp6")), port);
    return holderOf(listeners, listeners.isEmpty() ? QSet<quint64>() : socketsOf(pid));
}
