// The output volume around a recording on the headless desktop's sound server, read back with
// pactl: lowering and muting, the restore, a restore that goes to the sink that was lowered even
// when it is gone, and the real Murmex killed during a recording.

#include "platform/linux/PulseOutputVolume.h"
#include "support/Settings.h"
#include "volume/SystemOutputVolumeController.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <utility>

using namespace Qt::StringLiterals;

namespace {

constexpr int timeout = 15000;

QString pactl(const QStringList &arguments)
{
    QProcess process;
    process.start(u"pactl"_s, arguments);
    if (!process.waitForFinished(timeout) || process.exitCode() != 0)
        return u"failed: "_s + QString::fromUtf8(process.readAllStandardError());
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

// The channels' volumes as pactl shows them ("40% 20%"), then " muted" when muted.
QString sinkState(const QString &sink)
{
    QStringList channels;
    for (const auto &match : QRegularExpression(u"(\\d+)%"_s).globalMatch(pactl({u"get-sink-volume"_s, sink})))
        channels.append(match.captured(0));
    const bool muted = pactl({u"get-sink-mute"_s, sink}) == u"Mute: yes";
    return channels.join(u' ') + (muted ? u" muted"_s : QString());
}

void setSink(const QString &sink, const QString &channels, bool muted)
{
    QVERIFY(pactl(QStringList{u"set-sink-volume"_s, sink} + channels.split(u' ')).isEmpty());
    QVERIFY(pactl({u"set-sink-mute"_s, sink, muted ? u"1"_s : u"0"_s}).isEmpty());
}

// The real volume control, counting the sets it is asked for.
class CountingOutputVolume final : public OutputVolume {
public:
    std::optional<OutputVolumeReading> read() override { return real.read(); }
    std::optional<SystemOutputVolumeState> set(const QString &sink, int volume, bool isMuted) override
    {
        ++sets;
        return real.set(sink, volume, isMuted);
    }
    int sets = 0;

private:
    PulseOutputVolume real;
};

// One run of Murmex's volume control: the controller over the real server, with its own settings.
struct Rig {
    explicit Rig(const QString &settingsPath) : defaults(settingsPath) {}
    Settings defaults;
    CountingOutputVolume volume;
    int percentage = 100;
    bool startupInFlight = false;
    bool idle = true;
    SystemOutputVolumeController controller{volume, defaults,
                                            {.recordingVolumePercentage = [this] { return percentage; },
                                             .isRecordingStartupInFlight = [this] { return startupInFlight; },
                                             .mayRetryRestore = [this] { return idle; }}};

    QString savedSnapshot() const
    {
        if (!defaults.contains(u"recordingOriginalOutputVolume"_s))
            return u"none"_s;
        return u"%1 %2 %3"_s.arg(defaults.integer(u"recordingOriginalOutputVolume"_s).value_or(-1))
            .arg(defaults.boolean(u"recordingOriginalOutputMuted"_s).value_or(false) ? u"muted"_s : u"unmuted"_s)
            .arg(defaults.string(u"recordingOriginalOutputSink"_s).value_or(QString()));
    }
};

// Murmex's own settings and its bundle's program, as the user runs them.
QString murmexSettingsPath() { return qEnvironmentVariable("XDG_CONFIG_HOME") + u"/Tarvo/Murmex.conf"_s; }

struct RunningMurmex {
    QProcess process;
    QString log;

    bool start()
    {
        process.start(qEnvironmentVariable("MURMEX_BUNDLE_DIR") + u"/bin/murmex"_s, {});
        // Once the icon is in the tray the launch is over and the shortcut is grabbed.
        return process.waitForStarted(timeout) && QTest::qWaitFor([&] {
                   log += QString::fromUtf8(process.readAllStandardError());
                   return log.contains(u"Icono de Murmex en la bandeja del sistema."_s);
               }, timeout);
    }
    ~RunningMurmex()
    {
        process.kill();
        process.waitForFinished(timeout);
    }
};

} // namespace

class VolumeTest : public QObject {
    Q_OBJECT

    QTemporaryDir scratch;
    QString settingsPath() const { return scratch.filePath(u"Murmex.conf"_s); }

private slots:
    void init()
    {
        QFile::remove(settingsPath());
        QVERIFY(pactl({u"set-default-sink"_s, u"spk"_s}).isEmpty());
    }

    void lowersAndRestores_data()
    {
        QTest::addColumn<QString>("initial");
        QTest::addColumn<int>("percentage");
        QTest::addColumn<QString>("saved");
        QTest::addColumn<QString>("lowered");
        QTest::newRow("50 % of 75 gives 38") << u"75% 75%"_s << 50 << u"75 unmuted spk"_s << u"38% 38%"_s;
        QTest::newRow("0 % mutes; the restore unmutes") << u"75% 75%"_s << 0 << u"75 unmuted spk"_s << u"0% 0% muted"_s;
        QTest::newRow("0 % of a muted sink; it stays muted") << u"60% 60% muted"_s << 0 << u"60 muted spk"_s << u"0% 0% muted"_s;
        QTest::newRow("a muted sink stays muted at 50 %") << u"80% 80% muted"_s << 50 << u"80 muted spk"_s << u"40% 40% muted"_s;
        QTest::newRow("100 % leaves it untouched") << u"75% 75%"_s << 100 << u"75 unmuted spk"_s << u"75% 75%"_s;
        QTest::newRow("the average is lowered, the balance kept") << u"80% 40%"_s << 50 << u"60 unmuted spk"_s << u"40% 20%"_s;
    }

    void lowersAndRestores()
    {
        QFETCH(QString, initial);
        QFETCH(int, percentage);
        QFETCH(QString, saved);
        QFETCH(QString, lowered);
        const bool muted = initial.endsWith(u" muted"_s);
        setSink(u"spk"_s, initial.section(u' ', 0, 1), muted);
        QCOMPARE(sinkState(u"spk"_s), initial);

        Rig rig(settingsPath());
        rig.percentage = percentage;
        rig.controller.takeOutputVolumeSnapshotIfNeeded();
        QCOMPARE(rig.savedSnapshot(), saved);
        rig.controller.applyOutputVolumeForRecording();
        QCOMPARE(sinkState(u"spk"_s), lowered);
        QCOMPARE(rig.volume.sets, percentage == 100 ? 0 : 1);

        rig.controller.restoreOutputVolumeAfterRecording();
        QCOMPARE(sinkState(u"spk"_s), initial);
        QCOMPARE(rig.savedSnapshot(), u"none"_s);
        QVERIFY(!rig.controller.originalOutputVolumeState());
    }

    // The default sink changes during the recording: lowering and restore go to the sink the
    // snapshot was taken on. When that one is gone, the restore fails, is retried four times (only
    // while the dictation is idle or transcribing) and then left, with the saved keys, for the next
    // launch, which restores it once the sink is back.
    void restoresTheSinkItLowered_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<int>("setsAfterRestore");
        QTest::newRow("still there, restore held back during a start-up first") << u"start-up"_s << 2;
        QTest::newRow("gone") << u"unplugged"_s << 6;
        QTest::newRow("gone, and a recording runs again") << u"unplugged, recording"_s << 2;
    }

    void restoresTheSinkItLowered()
    {
        QFETCH(QString, before);
        QFETCH(int, setsAfterRestore);
        QString module = pactl({u"load-module"_s, u"module-null-sink"_s, u"sink_name=headset"_s, u"channels=2"_s});
        QVERIFY2(module.toInt() > 0, qPrintable(module));
        const auto unload = qScopeGuard([&] {
            if (!module.isEmpty())
                pactl({u"unload-module"_s, module});
        });
        QVERIFY(pactl({u"set-default-sink"_s, u"headset"_s}).isEmpty());
        setSink(u"headset"_s, u"80%"_s, false);
        setSink(u"spk"_s, u"70%"_s, false);

        Rig rig(settingsPath());
        rig.percentage = 50;
        rig.controller.takeOutputVolumeSnapshotIfNeeded();
        QCOMPARE(rig.savedSnapshot(), u"80 unmuted headset"_s);
        QVERIFY(pactl({u"set-default-sink"_s, u"spk"_s}).isEmpty());
        rig.controller.applyOutputVolumeForRecording();
        QCOMPARE(sinkState(u"headset"_s), u"40% 40%"_s);

        if (before == u"start-up") {
            rig.startupInFlight = true;
            rig.controller.restoreOutputVolumeAfterRecording();
            QCOMPARE(sinkState(u"headset"_s), u"40% 40%"_s);
            rig.startupInFlight = false;
        } else {
            QVERIFY(pactl({u"unload-module"_s, std::exchange(module, QString())}).isEmpty());
            rig.idle = !before.endsWith(u"recording"_s);
        }
        rig.controller.restoreOutputVolumeAfterRecording();
        QTRY_VERIFY_WITH_TIMEOUT(!rig.controller.hasPendingRestoreRetry(), timeout);
        QCOMPARE(rig.volume.sets, setsAfterRestore);
        QCOMPARE(sinkState(u"spk"_s), u"70% 70%"_s);
        if (before == u"start-up") {
            QCOMPARE(sinkState(u"headset"_s), u"80% 80%"_s);
            QCOMPARE(rig.savedSnapshot(), u"none"_s);
            return;
        }
        QCOMPARE(rig.controller.outputVolumeRestoreRetries(), rig.idle ? 4 : 1);
        QCOMPARE(rig.savedSnapshot(), u"80 unmuted headset"_s);

        // The next launch, with the sink back (at the server's 100 %).
        module = pactl({u"load-module"_s, u"module-null-sink"_s, u"sink_name=headset"_s, u"channels=2"_s});
        QVERIFY2(module.toInt() > 0, qPrintable(module));
        Rig next(settingsPath());
        next.controller.restoreVolumeLeftByCrash();
        QCOMPARE(sinkState(u"headset"_s), u"80% 80%"_s);
        QCOMPARE(next.savedSnapshot(), u"none"_s);
    }

    // kill -9 during a recording leaves both keys and the lowered volume; the next launch puts the
    // volume back and removes them.
    void killedDuringRecordingRestoredAtNextLaunch()
    {
        QFile::remove(murmexSettingsPath());
        QVERIFY(QDir().mkpath(QFileInfo(murmexSettingsPath()).absolutePath()));
        {
            QSettings settings(murmexSettingsPath(), QSettings::IniFormat);
            settings.setValue(u"recordingVolumePercentage"_s, 50);
        }
        setSink(u"spk"_s, u"80%"_s, false);
        const auto savedKeys = [] {
            QSettings settings(murmexSettingsPath(), QSettings::IniFormat);
            return u"%1 %2"_s.arg(settings.value(u"recordingOriginalOutputVolume"_s, u"none"_s).toString(),
                                  settings.value(u"recordingOriginalOutputMuted"_s, u"none"_s).toString());
        };
        {
            RunningMurmex murmex;
            QVERIFY2(murmex.start(), qPrintable(murmex.log));
            QCOMPARE(QProcess::execute(u"xdotool"_s, {u"key"_s, u"--clearmodifiers"_s, u"ctrl+alt+super+d"_s}), 0);
            QTRY_COMPARE_WITH_TIMEOUT(sinkState(u"spk"_s), u"40% 40%"_s, timeout);
            murmex.process.kill();
            QVERIFY(murmex.process.waitForFinished(timeout));
        }
        QCOMPARE(savedKeys(), u"80 false"_s);
        QCOMPARE(sinkState(u"spk"_s), u"40% 40%"_s);

        RunningMurmex next;
        QVERIFY2(next.start(), qPrintable(next.log));
        QTRY_COMPARE_WITH_TIMEOUT(sinkState(u"spk"_s), u"80% 80%"_s, timeout);
        QTRY_COMPARE_WITH_TIMEOUT(savedKeys(), u"none none"_s, timeout);
    }
};

QTEST_GUILESS_MAIN(VolumeTest)
#include "VolumeTest.moc"
