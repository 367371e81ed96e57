#include "AccessibilityStatus.h"

#include "support/Log.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QLoggingCategory>

#include <atomic>

Q_LOGGING_CATEGORY(lcAccessibilityStatus, "murmex.platform.atspi", QtInfoMsg)

namespace {

// Each call is answered or given up within this time; neither waits on the main thread.
constexpr int callTimeoutMilliseconds = 5000;

QDBusMessage propertyCall(const QString &method)
{
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.a11y.Bus"), QStringLiteral("/org/a11y/bus"),
                                                       QStringLiteral("org.freedesktop.DBus.Properties"), method);
    call << QStringLiteral("org.a11y.Status") << QStringLiteral("IsEnabled");
    return call;
}

void whenAnswered(const QDBusPendingCall &call, std::function<void(const QDBusPendingCallWatcher &)> answered)
{
    auto *watcher = new QDBusPendingCallWatcher(call, QCoreApplication::instance());
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher, [answered = std::move(answered)](QDBusPendingCallWatcher *finished) {
        answered(*finished);
        finished->deleteLater();
    });
}

void turnOn(QDBusConnection bus)
{
    QDBusMessage set = propertyCall(QStringLiteral("Set"));
    set << QVariant::fromValue(QDBusVariant(true));
    whenAnswered(bus.asyncCall(set, callTimeoutMilliseconds), [](const QDBusPendingCallWatcher &answer) {
        if (answer.isError()) {
            qCWarning(lcAccessibilityStatus) << "cannot turn the desktop's accessibility on:" << answer.error().message();
            return;
        }
        Log::write(QStringLiteral("[MurmexInsertion] La accesibilidad del escritorio estaba desactivada y Murmex la ha activado: "
                                  "los programas abiertos a partir de ahora muestran sus campos de texto; los ya abiertos, al reiniciarlos."));
    });
}

void readThenTurnOn()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        qCWarning(lcAccessibilityStatus) << "no session bus: the desktop's accessibility is left as it is";
        return;
    }
    whenAnswered(bus.asyncCall(propertyCall(QStringLiteral("Get")), callTimeoutMilliseconds), [bus](const QDBusPendingCallWatcher &answer) {
        const QDBusPendingReply<QDBusVariant> reply = answer;
        if (reply.isError()) {
            qCWarning(lcAccessibilityStatus) << "cannot read whether the desktop's accessibility is on:" << reply.error().message();
            return;
        }
        if (!reply.value().variant().toBool())
            turnOn(bus);
    });
}

} // namespace

void AccessibilityStatus::enableOnce()
{
    static std::atomic_flag asked;
    if (asked.test_and_set())
        return;
    QCoreApplication *application = QCoreApplication::instance();
    if (!application) {
        qCWarning(lcAccessibilityStatus) << "no application object: the desktop's accessibility is left as it is";
        return;
    }
    // The answers arrive through the main thread's event loop; from another thread the calls are
    // started there.
    QMetaObject::invokeMethod(application, &readThenTurnOn);
}
