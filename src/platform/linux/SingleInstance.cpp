#include "SingleInstance.h"

#include "support/Log.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>

#include <unistd.h>

SingleInstance::Claim SingleInstance::claim()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected() && bus.interface()) {
        const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply = bus.interface()->registerService(
            QString::fromLatin1(busName), QDBusConnectionInterface::DontQueueService, QDBusConnectionInterface::DontAllowReplacement);
        if (reply.isValid())
            return reply.value() == QDBusConnectionInterface::ServiceRegistered ? Claim::owned : Claim::heldByAnother;
        Log::write(QStringLiteral("[MurmexRuntime] No se pudo reservar el nombre %1 en el bus de la sesión: %2")
                       .arg(QString::fromLatin1(busName), reply.error().message()));
    }
    QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (folder.isEmpty() || !QDir(folder).exists())
        folder = QDir::tempPath() + QStringLiteral("/murmex-%1").arg(::getuid());
    QDir().mkpath(folder);
    lock = std::make_unique<QLockFile>(folder + QStringLiteral("/murmex.lock"));
    lock->setStaleLockTime(0); // only a lock whose process is gone is stale, never one merely old
    return lock->tryLock(0) ? Claim::owned : Claim::heldByAnother;
}

void SingleInstance::release()
{
    lock.reset(); // unlocks and removes the lock file
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected() && bus.interface())
        bus.interface()->unregisterService(QString::fromLatin1(busName)); // not held: nothing to give up
}
