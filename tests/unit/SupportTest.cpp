#include <set>
// The serial queue's order and suspension, typed settings, and the settings read at launch.

#include "app/AppSettings.h"
#include "support/Log.h"
#include "support/SerialQueue.h"
#include "support/Settings.h"

#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

class SupportTest : public QObject {
    Q_OBJECT

private slots:
    void queueRunsBlocksInOrderOnOneThread()
    {
        SerialQueue queue(QStringLiteral("com.tarvo.murmex.test"));
        std::mutex mutex;
        QList<int> order;
        std::set<std::thread::id> threads;
        for (int i = 0; i < 50; ++i)
            queue.async([&, i] {
                std::lock_guard lock(mutex);
                order.append(i);
                threads.insert(std::this_thread::get_id());
            });
        QVERIFY(queue.waitUntilDrained(2000));
        QCOMPARE(order.size(), 50);
        QVERIFY(std::is_sorted(order.begin(), order.end()));
        QCOMPARE(threads.size(), size_t(1));
        QVERIFY(!threads.contains(std::this_thread::get_id()));
    }

    void blockThatSuspendsItsQueueHoldsTheNextUntilResumed()
    {
        SerialQueue queue(QStringLiteral("com.tarvo.murmex.test"));
        std::atomic<bool> secondRan{false};
        queue.async([&] { queue.suspend(); });
        queue.async([&] { secondRan = true; });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        QVERIFY(!secondRan);
        QVERIFY(queue.isSuspended());
        QVERIFY(!queue.waitUntilDrained(20));

        queue.resume();
        QVERIFY(queue.waitUntilDrained(2000));
        QVERIFY(secondRan);
    }

    void destroyingASuspendedQueueStillRunsItsBlocks()
    {
        std::atomic<int> ran{0};
        {
            SerialQueue queue(QStringLiteral("com.tarvo.murmex.test"));
            queue.suspend();
            for (int i = 0; i < 3; ++i)
                queue.async([&] { ++ran; });
        }
        QCOMPARE(ran.load(), 3); // clean-up blocks are never dropped
    }

    void launchSettings_data()
    {
        QTest::addColumn<QString>("ini");
        QTest::addColumn<QString>("language");
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("volume");
        QTest::addColumn<QString>("shortcut");
        QTest::addColumn<int>("shortcutLogLines");

        const QString standard = QStringLiteral("Ctrl+Alt+Super+D");
        // A stored shortcut replaced by the default says so in one log line.
        const auto storedShortcut = [&](const char *label, const char *ini, const QString &shown) {
            QTest::newRow(label) << QString::fromUtf8(ini) << "es" << "exclude" << 100 << shown << (shown == standard ? 1 : 0);
        };
        QTest::newRow("nothing stored") << "" << "es" << "exclude" << 100 << standard << 0;
        // The display text of an earlier version counts as present and is shown in today's words.
        QTest::newRow("all stored")
            << "transcriptionLanguage=ca\ncomputerAudioMode=allow\nrecordingVolumePercentage=35\n"
               "shortcutKeyCode=96\nshortcutModifiers=4608\nshortcutDisplay=⌃⇧F5\n"
            << "ca" << "allow" << 35 << "Ctrl+Shift+F5" << 0;
        QTest::newRow("volume above range") << "recordingVolumePercentage=250\n" << "es" << "exclude" << 100 << standard << 0;
        QTest::newRow("volume below range") << "recordingVolumePercentage=-5\n" << "es" << "exclude" << 0 << standard << 0;
        QTest::newRow("volume not a number") << "recordingVolumePercentage=loud\n" << "es" << "exclude" << 100 << standard << 0;
        QTest::newRow("unknown mode") << "computerAudioMode=mute\n" << "es" << "exclude" << 100 << standard << 0;
        QTest::newRow("unknown language") << "transcriptionLanguage=fr\n" << "es" << "exclude" << 100 << standard << 0;
        QTest::newRow("not an ini file at all") << "\x01\x02garbage[[[\n=\n" << "es" << "exclude" << 100 << standard << 0;
        storedShortcut("alt alone is enough", "shortcutKeyCode=49\nshortcutModifiers=2048\nshortcutDisplay=X\n", "Alt+Espacio");
        storedShortcut("shortcut without display", "shortcutKeyCode=96\nshortcutModifiers=4608\n", standard);
        storedShortcut("modifiers missing", "shortcutKeyCode=96\nshortcutDisplay=X\n", standard);
        storedShortcut("modifiers garbage", "shortcutKeyCode=2\nshortcutModifiers=garbage\nshortcutDisplay=D\n", standard);
        storedShortcut("no modifier", "shortcutKeyCode=2\nshortcutModifiers=0\nshortcutDisplay=D\n", standard);
        storedShortcut("shift alone", "shortcutKeyCode=2\nshortcutModifiers=512\nshortcutDisplay=⇧D\n", standard);
        storedShortcut("unknown modifier bit", "shortcutKeyCode=2\nshortcutModifiers=5120\nshortcutDisplay=X\n", standard);
        storedShortcut("modifiers negative", "shortcutKeyCode=96\nshortcutModifiers=-1\nshortcutDisplay=X\n", standard);
        storedShortcut("key code out of range", "shortcutKeyCode=4294967296\nshortcutModifiers=4608\nshortcutDisplay=X\n", standard);
        storedShortcut("unknown key position", "shortcutKeyCode=200\nshortcutModifiers=4608\nshortcutDisplay=X\n", standard);
        storedShortcut("key code garbage", "shortcutKeyCode=D\nshortcutModifiers=4608\nshortcutDisplay=X\n", standard);
    }

    void launchSettings()
    {
        QFETCH(QString, ini);
        QFETCH(QString, language);
        QFETCH(QString, mode);
        QFETCH(int, volume);
        QFETCH(QString, shortcut);
        QFETCH(int, shortcutLogLines);

        QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral("Murmex.conf"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[General]\n" + ini.toUtf8());
        file.close();

        QStringList shortcutLines;
        Log::setSink([&](const QString &line) {
            if (line.startsWith(QStringLiteral("[MurmexSettings] Atajo")))
                shortcutLines.append(line);
        });
        const AppSettings loaded = AppSettings::load(Settings(path));
        Log::setSink({});
        QCOMPARE(rawValue(loaded.transcriptionLanguage), language);
        QCOMPARE(rawValue(loaded.computerAudioMode), mode);
        QCOMPARE(loaded.recordingVolumePercentage, volume);
        QCOMPARE(loaded.shortcut.display, shortcut);
        QCOMPARE(shortcutLines.size(), shortcutLogLines);
    }
};

QTEST_GUILESS_MAIN(SupportTest)
#include "SupportTest.moc"
