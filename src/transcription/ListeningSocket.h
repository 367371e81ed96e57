#pragma once

#include <QByteArray>
#include <QList>
#include <QSet>
#include <QString>
#include <QtGlobal>

// Who listens on the loopback port of the local server. The port is predictable and the server
// binds it only once its model is loaded, so another program may hold it first: a recording is
// posted only when every socket a connection to 127.0.0.1:port can reach is one of the server's.
namespace ListeningSocket {

struct Listener {
    quint64 inode = 0;
    uint uid = 0; // its owner
    friend bool operator==(const Listener &, const Listener &) = default;
};

// The sockets listening on TCP `port` that a connection to 127.0.0.1 reaches (bound to 127.0.0.1,
// to every address, or in IPv6 to :: or ::ffff:127.0.0.1), from the text of /proc/net/tcp or
// /proc/net/tcp6. Lines that cannot be read are skipped.
QList<Listener> loopbackListeners(const QByteArray &table, int port);

// The socket inodes process `pid` holds: its /proc/PID/fd links "socket:[INODE]". None when they
// cannot be read (the process is gone, or is not the user's).
QSet<quint64> socketsOf(qint64 pid);

enum class Holder {
    nobody,  // nothing listens yet: the server is still loading its model, or ended
    process, // every listener is a socket of the process
    another, // some other process listens there
};

struct Check {
    Holder holder = Holder::nobody;
    QString reason; // for `another`, in Spanish, for the log
};

// Who holds 127.0.0.1:`port`, from `listeners` and the sockets of the expected process.
Check holderOf(const QList<Listener> &listeners, const QSet<quint64> &processSockets);
// The same, read from /proc now.
Check check(int port, qint64 pid);

} // namespace ListeningSocket
