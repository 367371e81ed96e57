#include <set>
// The serial queue's order and suspension, typed settings, and the settings read at launch.

#include "app/AppSettings.h"
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

        QTest::newRow("nothing stored") << "" << "es" << "exclude" << 100 << "⌃⌥⌘D";
        QTest::newRow("all stored")
            << "transcriptionLanguage=ca\ncomputerAudioMode=allow\nrecordingVolumePercentage=35\n"
               "shortcutKeyCode=96\nshortcutModifiers=4608\nshortcutDisplay=⌃⇧F5\n"
            << "ca" << "allow" << 35 << "⌃⇧F5";
        QTest::newRow("volume above range") << "recordingVolumePercentage=250\n" << "es" << "exclude" << 100 << "⌃⌥⌘D";
        QTest::newRow("volume below range") << "recordingVolumePercentage=-5\n" << "es" << "exclude" << 0 << "⌃⌥⌘D";
        QTest::newRow("volume not a number") << "recordingVolumePercentage=loud\n" << "es" << "exclude" << 100 << "⌃⌥⌘D";
        QTest::newRow("unknown mode") << "computerAudioMode=mute\n" << "es" << "exclude" << 100 << "⌃⌥⌘D";
        QTest::newRow("unknown language") << "transcriptionLanguage=fr\n" << "es" << "exclude" << 100 << "⌃⌥⌘D";
        QTest::newRow("shortcut without display") << "shortcutKeyCode=96\nshortcutModifiers=4608\n" << "es" << "exclude" << 100 << "⌃⌥⌘D";
        QTest::newRow("shortcut key code out of range")
            << "shortcutKeyCode=4294967296\nshortcutModifiers=4608\nshortcutDisplay=X\n" << "es" << "exclude" << 100 << "⌃⌥⌘D";
        QTest::newRow("shortcut modifiers negative")
            << "shortcutKeyCode=96\nshortcutModifiers=-1\nshortcutDisplay=X\n" << "es" << "exclude" << 100 << "⌃⌥⌘D";
        QTest::newRow("shortcut key code garbage")
            << "shortcutKeyCode=D\nshortcutModifiers=4608\nshortcutDisplay=X\n" << "es" << "exclude" << 100 << "⌃⌥⌘D";
        QTest::newRow("not an ini file at all") << "\x01\x02garbage[[[\n=\n" << "es" << "exclude" << 100 << "⌃⌥⌘D";
    }

    void launchSettings()
    {
        QFETCH(QString, ini);
        QFETCH(QString, language);
        QFETCH(QString, mode);
        QFETCH(int, volume);
        QFETCH(QString, shortcut);

        QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral("Murmex.conf"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[General]\n" + ini.toUtf8());
        file.close();

        const AppSettings loaded = AppSettings::load(Settings(path));
        QCOMPARE(rawValue(loaded.transcriptionLanguage), language);
        QCOMPARE(rawValue(loaded.computerAudioMode), mode);
        QCOMPARE(loaded.recordingVolumePercentage, volume);
        QCOMPARE(loaded.shortcut.display, shortcut);
    }
};

QTEST_GUILESS_MAIN(SupportTest)
#include "SupportTest.moc"
