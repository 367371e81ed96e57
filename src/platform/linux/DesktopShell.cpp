#include "DesktopShell.h"

#include <QApplication>
#include <QDesktopServices>
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
