#include "DesktopShell.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

void DesktopShell::beep()
{
    QApplication::beep();
}

bool DesktopShell::openUrl(const QUrl &url)
{
    return QDesktopServices::openUrl(url);
}

bool DesktopShell::openMicrophoneSettings()
{
    // GNOME has a microphone page in its settings; other desktops offer no common entry point.
    const QString settings = QStandardPaths::findExecutable(QStringLiteral("gnome-control-center"));
    return !settings.isEmpty() && QProcess::startDetached(settings, {QStringLiteral("microphone")});
}

void DesktopShell::revealInFileBrowser(const QString &path)
{
    // The freedesktop file-manager interface selects the item; without one, the parent opens.
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
                                                       QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList{QUrl::fromLocalFile(path).toString()} << QString();
    const QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 3000);
    if (reply.type() != QDBusMessage::ErrorMessage)
        return;
    QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(path).absolutePath()));
}
