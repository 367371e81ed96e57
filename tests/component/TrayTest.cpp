// Murmex as a person meets it: the real program on the headless desktop (X server, window manager,
// tray host), its icon in the tray, quitting from its menu, and what it leaves behind.

#include <QDir>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QTest>

#include <csignal>

namespace {

constexpr int startTimeout = 15000;

QString runtimeStatePath()
{
    return qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/Murmex/runtime-state.json");
}

QString settingsPath()
{
    return qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/Tarvo/Murmex.conf");
}

QStringList xdotool(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral("xdotool"), arguments);
    process.waitForFinished(5000);
    return QString::fromUtf8(process.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// The X windows of the Murmex process: the tray icon, and the menu while it is open.
QStringList murmexWindows()
{
    return xdotool({QStringLiteral("search"), QStringLiteral("--classname"), QStringLiteral("^murmex$")});
}

QRect geometry(const QString &window)
{
    QMap<QString, int> values;
    for (const QString &line : xdotool({QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), window}))
        values[line.section(QLatin1Char('='), 0, 0)] = line.section(QLatin1Char('='), 1).toInt();
    return QRect(values[QStringLiteral("X")], values[QStringLiteral("Y")], values[QStringLiteral("WIDTH")], values[QStringLiteral("HEIGHT")]);
}

void screenshot(const QString &name)
{
    const QString tool = qEnvironmentVariable("MURMEX_SCREENSHOT_TOOL");
    const QString folder = qEnvironmentVariable("MURMEX_ARTIFACTS_DIR", QDir::tempPath());
    QDir().mkpath(folder);
    if (!tool.isEmpty() && QProcess::execute(tool, {folder + QLatin1Char('/') + name}) == 0)
        qInfo("screenshot: %s/%s", qPrintable(folder), qPrintable(name));
}

// A running Murmex whose standard error (the log, where no system log listens) the test reads.
struct RunningMurmex {
    QProcess process;
    QString log;

    bool start()
    {
        process.setProcessChannelMode(QProcess::SeparateChannels);
        process.start(qEnvironmentVariable("MURMEX_BUNDLE_DIR") + QStringLiteral("/bin/murmex"), {});
        return process.waitForStarted(startTimeout);
    }
    QString readLog()
    {
        log += QString::fromUtf8(process.readAllStandardError());
        return log;
    }
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
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(3000);
        }
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
        QVERIFY2(murmex.waitForLog(QStringLiteral("[MurmexRuntime] Icono de Murmex en la bandeja del sistema.")), qPrintable(murmex.log));
        QVERIFY(QFile::exists(runtimeStatePath())); // its contents are the controller test's

        // The icon is embedded in the tray host along the top edge of the screen.
        QTRY_COMPARE_WITH_TIMEOUT(murmexWindows().size(), 1, startTimeout);
        const QString icon = murmexWindows().first();
        const QRect iconGeometry = geometry(icon);
        QVERIFY2(iconGeometry.top() < 32 && iconGeometry.width() > 0, qPrintable(QStringLiteral("icon at %1,%2").arg(iconGeometry.x()).arg(iconGeometry.y())));
        screenshot(QStringLiteral("tray-idle.png"));

        // A right click opens the menu; its last entry quits.
        xdotool({QStringLiteral("mousemove"), QStringLiteral("--window"), icon, QString::number(iconGeometry.width() / 2),
                 QString::number(iconGeometry.height() / 2), QStringLiteral("click"), QStringLiteral("3")});
        QTRY_COMPARE_WITH_TIMEOUT(murmexWindows().size(), 2, startTimeout);
        screenshot(QStringLiteral("tray-menu.png"));
        QString menu;
        for (const QString &window : murmexWindows())
            if (window != icon)
                menu = window;
        const QRect menuGeometry = geometry(menu);
        xdotool({QStringLiteral("mousemove"), QString::number(menuGeometry.center().x()), QString::number(menuGeometry.bottom() - 12),
                 QStringLiteral("click"), QStringLiteral("1")});

        QVERIFY2(murmex.endedInOrder(), "Murmex did not quit in order from its menu");
    }

    // No tray host, a file where the data folder belongs, settings that are not settings: Murmex
    // says so in its log (the tray once), keeps running, and its shortcut still works.
    void keepsRunningWithoutTrayDataFolderOrSettings()
    {
        QFile trayerPid(qEnvironmentVariable("MURMEX_DESKTOP_DIR") + QStringLiteral("/pids/trayer.pid"));
        QVERIFY(trayerPid.open(QIODevice::ReadOnly));
        const pid_t trayer = pid_t(trayerPid.readAll().trimmed().toInt());
        QVERIFY(trayer > 0);
        ::kill(trayer, SIGTERM);
        QTRY_VERIFY_WITH_TIMEOUT(xdotool({QStringLiteral("search"), QStringLiteral("--class"), QStringLiteral("trayer")}).isEmpty(), 5000);
        const QString supportRoot = qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/Murmex");
        QDir(supportRoot).removeRecursively();
        QFile blocker(supportRoot);
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        QDir().mkpath(QFileInfo(settingsPath()).absolutePath());
        QFile settings(settingsPath());
        QVERIFY(settings.open(QIODevice::WriteOnly));
        settings.write("[General]\nrecordingVolumePercentage=loud\ncomputerAudioMode=mute\nshortcutKeyCode=-3\nshortcutDisplay=X\n\x01\x02\n");
        settings.close();

        RunningMurmex murmex;
        QVERIFY(murmex.start());
        QVERIFY2(murmex.waitForLog(QStringLiteral("[MurmexRuntime] No se pudo guardar el estado: ")), qPrintable(murmex.log));
        QVERIFY2(murmex.waitForLog(QStringLiteral("recordingVolumePercentage")), qPrintable(murmex.log));
        // The tray verdict comes from the event loop once the launch is over, the key grab included.
        const QString noTray = QStringLiteral("No hay bandeja del sistema");
        QVERIFY2(murmex.waitForLog(noTray), qPrintable(murmex.log));
        // The default shortcut is the one in use: it starts a dictation, which cannot make its
        // folder and says so (an alert, and the log).
        xdotool({QStringLiteral("key"), QStringLiteral("ctrl+alt+super+d")});
        QVERIFY2(murmex.waitForLog(QStringLiteral("[MurmexRecording] No se pudo crear la carpeta de grabación")), qPrintable(murmex.log));
        QCOMPARE(murmex.process.state(), QProcess::Running);
        ::kill(pid_t(murmex.process.processId()), SIGTERM);
        QVERIFY2(murmex.endedInOrder(), qPrintable(murmex.readLog()));
        QCOMPARE(murmex.readLog().count(noTray), 1);
        QFile::remove(supportRoot);
    }
};

QTEST_GUILESS_MAIN(TrayTest)
#include "TrayTest.moc"
