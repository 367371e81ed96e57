// The serial queue's order and suspension, and the settings read at launch.

#include "app/AppSettings.h"
#include "support/SerialQueue.h"
#include "support/Settings.h"

#include <QTemporaryDir>
#include <QTest>

#include <numeric>
#include <set>
#include <thread>

class SupportTest : public QObject {
    Q_OBJECT

private slots:
    // In order on a thread of its own; a block may suspend its queue; blocks left when the queue goes still run.
    void serialQueue()
    {
        QList<int> order; // read only while the worker waits: after a suspension, a drain or the join
        std::set<std::thread::id> threads;
        {
            SerialQueue queue(QStringLiteral("com.tarvo.murmex.test"));
            const auto add = [&](int i) { queue.async([&, i] { order.append(i); threads.insert(std::this_thread::get_id()); }); };
            for (int i = 0; i < 50; ++i)
                add(i);
            queue.async([&] { queue.suspend(); });
            add(50);
            QTRY_VERIFY_WITH_TIMEOUT(queue.isSuspended(), 2000);
            QVERIFY(!queue.waitUntilDrained(20));
            QCOMPARE(order.size(), 50);
            queue.resume();
            QVERIFY(queue.waitUntilDrained(2000));
            QCOMPARE(order.size(), 51);
            queue.suspend();
            add(51);
        }
        QList<int> expected(52);
        std::iota(expected.begin(), expected.end(), 0);
        QCOMPARE(order, expected);
        QCOMPARE(threads.size(), size_t(1));
        QVERIFY(!threads.contains(std::this_thread::get_id()));
    }

    // Lines under [General], and the language, computer audio mode, volume and shortcut launch reads.
    void launchSettings_data()
    {
        QTest::addColumn<QString>("ini");
        QTest::addColumn<QString>("loaded");
        const auto row = [](const char *label, const char *ini, const char *loaded = "es exclude 100 Ctrl+Alt+Super+D") {
            QTest::newRow(label) << QString::fromUtf8(ini) << QString::fromUtf8(loaded);
        };
        row("nothing stored", "");
        // An earlier version's display text counts as present and is shown in today's words.
        row("all stored", "transcriptionLanguage=ca\ncomputerAudioMode=allow\nrecordingVolumePercentage=35\n"
                          "shortcutKeyCode=96\nshortcutModifiers=4608\nshortcutDisplay=⌃⇧F5\n", "ca allow 35 Ctrl+Shift+F5");
        row("volume above range", "recordingVolumePercentage=250\n");
        row("volume below range", "recordingVolumePercentage=-5\n", "es exclude 0 Ctrl+Alt+Super+D");
        row("volume not a number", "recordingVolumePercentage=loud\n");
        row("unknown mode", "computerAudioMode=mute\n");
        row("unknown language", "transcriptionLanguage=fr\n");
        row("alt alone is enough", "shortcutKeyCode=49\nshortcutModifiers=2048\nshortcutDisplay=X\n", "es exclude 100 Alt+Espacio");
        row("shortcut without display", "shortcutKeyCode=96\nshortcutModifiers=4608\n");
        row("modifiers garbage", "shortcutKeyCode=2\nshortcutModifiers=garbage\nshortcutDisplay=D\n");
        row("shift alone", "shortcutKeyCode=2\nshortcutModifiers=512\nshortcutDisplay=⇧D\n");
        row("key code out of range", "shortcutKeyCode=4294967296\nshortcutModifiers=4608\nshortcutDisplay=X\n");
    }

    void launchSettings()
    {
        QFETCH(QString, ini);
        QTemporaryDir folder;
        QFile file(folder.filePath(QStringLiteral("Murmex.conf")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[General]\n" + ini.toUtf8());
        file.close();

        const AppSettings loaded = AppSettings::load(Settings(file.fileName()));
        QTEST(QStringLiteral("%1 %2 %3 %4").arg(rawValue(loaded.transcriptionLanguage), rawValue(loaded.computerAudioMode),
                                                 QString::number(loaded.recordingVolumePercentage), loaded.shortcut.display),
              "loaded");
    }
};

QTEST_GUILESS_MAIN(SupportTest)
#include "SupportTest.moc"
