// Murmex as a person meets it: the real program on the headless desktop (X server, window manager,
// tray host), its icon in the tray, quitting from its menu, and what it leaves behind.

#include <QDir>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QTest>

#include <csignal>

using namespace Qt::StringLiterals;

namespace {

constexpr int startTimeout = 15000;

QString runtimeStatePath() { return qEnvironmentVariable("XDG_DATA_HOME") + u"/Murmex/runtime-state.json"_s; }
QString settingsPath() { return qEnvironmentVariable("XDG_CONFIG_HOME") + u"/Tarvo/Murmex.conf"_s; }

QStringList xdotool(const QStringList &arguments)
{
    QProcess process;
    process.start(u"xdotool"_s, arguments);
    process.waitForFinished(5000);
    return QString::fromUtf8(process.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
}

// The X windows of the Murmex process: the tray icon, and the menu while it is open.
QStringList murmexWindows() { return xdotool({u"search"_s, u"--classname"_s, u"^murmex$"_s}); }

QRect geometry(const QString &window)
{
    QMap<QString, int> values;
    for (const QString &line : xdotool({u"getwindowgeometry"_s, u"--shell"_s, window}))
        values[line.section(u'=', 0, 0)] = line.section(u'=', 1).toInt();
    return QRect(values[u"X"_s], values[u"Y"_s], values[u"WIDTH"_s], values[u"HEIGHT"_s]);
}

void screenshot(const QString &name)
{
    const QString tool = qEnvironmentVariable("MURMEX_SCREENSHOT_TOOL");
    const QString folder = qEnvironmentVariable("MURMEX_ARTIFACTS_DIR", QDir::tempPath());
    if (!tool.isEmpty() && QDir().mkpath(folder) && QProcess::execute(tool, {folder + u'/' + name}) == 0)
        qInfo("screenshot: %s/%s", qPrintable(folder), qPrintable(name));
}

// A running Murmex whose standard error (the log, where no system log listens) the test reads.
struct RunningMurmex {
    QProcess process;
    QString log;

    bool start()
    {
        process.start(qEnvironmentVariable("MURMEX_BUNDLE_DIR") + u"/bin/murmex"_s, {});
        return process.waitForStarted(startTimeout);
    }
    QString readLog() { return log += QString::fromUtf8(process.readAllStandardError()); }
    bool waitForLog(const QString &text)
    {
        return QTest::qWaitFor([&] { return readLog().contains(text); }, startTimeout);
    }
    // Ended in order: status 0, and its runtime state file gone.
    bool endedInOrder()
    {
        return QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, startTimeout)
            && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0 && !QFile::exists(runtimeStatePath());
    }
    ~RunningMurmex()
    {
        process.kill();
        process.waitForFinished(3000);
    }
};

} // namespace

class TrayTest : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        QFile::remove(runtimeStatePath());
        QFile::remove(settingsPath());
    }

    void showsInTheTrayAndQuitsFromItsMenu()
    {
        RunningMurmex murmex;
        QVERIFY(murmex.start());
        QVERIFY2(murmex.waitForLog(u"[MurmexRuntime] Icono de Murmex en la bandeja del sistema."_s), qPrintable(murmex.log));
        QVERIFY(QFile::exists(runtimeStatePath())); // its contents are the controller test's

        // The icon is embedded in the tray host along the top edge of the screen.
        QTRY_COMPARE_WITH_TIMEOUT(murmexWindows().size(), 1, startTimeout);
        const QString icon = murmexWindows().first();
        const QRect iconGeometry = geometry(icon);
        QVERIFY2(iconGeometry.top() < 32 && iconGeometry.width() > 0, qPrintable(u"icon at %1,%2"_s.arg(iconGeometry.x()).arg(iconGeometry.y())));
        screenshot(u"tray-idle.png"_s);

        // A right click opens the menu; its last entry quits.
        const QPoint middle = iconGeometry.center() - iconGeometry.topLeft();
        xdotool({u"mousemove"_s, u"--window"_s, icon, QString::number(middle.x()), QString::number(middle.y()), u"click"_s, u"3"_s});
        QTRY_COMPARE_WITH_TIMEOUT(murmexWindows().size(), 2, startTimeout);
        screenshot(u"tray-menu.png"_s);
        const QStringList windows = murmexWindows();
        const QRect menu = geometry(windows.first() == icon ? windows.last() : windows.first());
        xdotool({u"mousemove"_s, QString::number(menu.center().x()), QString::number(menu.bottom() - 12), u"click"_s, u"1"_s});
        QVERIFY2(murmex.endedInOrder(), "Murmex did not quit in order from its menu");
    }

    // No tray host, a file where the data folder belongs, settings that are not settings: Murmex
    // says so in its log (the tray once), keeps running, and its shortcut still works.
    void keepsRunningWithoutTrayDataFolderOrSettings()
    {
        QFile trayerPid(qEnvironmentVariable("MURMEX_DESKTOP_DIR") + u"/pids/trayer.pid"_s);
        QVERIFY(trayerPid.open(QIODevice::ReadOnly));
        const pid_t trayer = pid_t(trayerPid.readAll().trimmed().toInt());
        QVERIFY(trayer > 0 && ::kill(trayer, SIGTERM) == 0);
        QTRY_VERIFY_WITH_TIMEOUT(xdotool({u"search"_s, u"--class"_s, u"trayer"_s}).isEmpty(), 5000);
        const QString supportRoot = qEnvironmentVariable("XDG_DATA_HOME") + u"/Murmex"_s;
        QDir(supportRoot).removeRecursively();
        QFile blocker(supportRoot), settings(settingsPath());
        QVERIFY(blocker.open(QIODevice::WriteOnly) && QDir().mkpath(QFileInfo(settings).absolutePath()) && settings.open(QIODevice::WriteOnly));
        settings.write("[General]\nrecordingVolumePercentage=loud\ncomputerAudioMode=mute\nshortcutKeyCode=-3\nshortcutDisplay=X\n\x01\x02\n");
        settings.close();

        RunningMurmex murmex;
        QVERIFY(murmex.start());
        // The tray verdict comes from the event loop once the launch is over, the key grab included.
        const QString noTray = u"No hay bandeja del sistema"_s;
        for (const QString &line : {u"[MurmexRuntime] No se pudo guardar el estado: "_s, u"recordingVolumePercentage"_s, noTray})
            QVERIFY2(murmex.waitForLog(line), qPrintable(murmex.log));
        // The default shortcut is in use: its dictation cannot make its folder and says so.
        xdotool({u"key"_s, u"ctrl+alt+super+d"_s});
        QVERIFY2(murmex.waitForLog(u"[MurmexRecording] No se pudo crear la carpeta de grabación"_s), qPrintable(murmex.log));
        QCOMPARE(murmex.process.state(), QProcess::Running);
        ::kill(pid_t(murmex.process.processId()), SIGTERM);
        QVERIFY2(murmex.endedInOrder(), qPrintable(murmex.readLog()));
        QCOMPARE(murmex.readLog().count(noTray), 1);
        QFile::remove(supportRoot);
    }
};

QTEST_GUILESS_MAIN(TrayTest)
#include "TrayTest.moc"
