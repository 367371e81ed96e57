// The serial queue's order and suspension, and the settings read at launch.

#include "app/AppSettings.h"
#include "support/SerialQueue.h"
#include "support/Settings.h"

#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <mutex>
#include <set>
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

    void suspensionHoldsBlocksUntilResumedOrDestroyed()
    {
        std::atomic<int> ran{0};
        {
            SerialQueue queue(QStringLiteral("com.tarvo.murmex.test"));
            queue.async([&] { queue.suspend(); }); // a block may suspend its own queue
            queue.async([&] { ++ran; });
            QTRY_VERIFY_WITH_TIMEOUT(queue.isSuspended(), 2000);
            QVERIFY(!queue.waitUntilDrained(20));
            QCOMPARE(ran.load(), 0);
            queue.resume();
            QVERIFY(queue.waitUntilDrained(2000));
            QCOMPARE(ran.load(), 1);
            queue.suspend();
            queue.async([&] { ++ran; });
        }
        QCOMPARE(ran.load(), 2); // clean-up blocks are never dropped
    }

    void launchSettings_data()
    {
        QTest::addColumn<QString>("ini");
        QTest::addColumn<QString>("language");
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("volume");
        QTest::addColumn<QString>("shortcut");

        const QString standard = QStringLiteral("Ctrl+Alt+Super+D");
        const auto storedShortcut = [&](const char *label, const char *ini, const QString &shown) {
            QTest::newRow(label) << QString::fromUtf8(ini) << "es" << "exclude" << 100 << shown;
        };
        QTest::newRow("nothing stored") << "" << "es" << "exclude" << 100 << standard;
        // The display text of an earlier version counts as present and is shown in today's words.
        QTest::newRow("all stored")
            << "transcriptionLanguage=ca\ncomputerAudioMode=allow\nrecordingVolumePercentage=35\n"
               "shortcutKeyCode=96\nshortcutModifiers=4608\nshortcutDisplay=⌃⇧F5\n"
            << "ca" << "allow" << 35 << "Ctrl+Shift+F5";
        QTest::newRow("volume above range") << "recordingVolumePercentage=250\n" << "es" << "exclude" << 100 << standard;
        QTest::newRow("volume below range") << "recordingVolumePercentage=-5\n" << "es" << "exclude" << 0 << standard;
        QTest::newRow("volume not a number") << "recordingVolumePercentage=loud\n" << "es" << "exclude" << 100 << standard;
        QTest::newRow("unknown mode") << "computerAudioMode=mute\n" << "es" << "exclude" << 100 << standard;
        QTest::newRow("unknown language") << "transcriptionLanguage=fr\n" << "es" << "exclude" << 100 << standard;
        QTest::newRow("not an ini file at all") << "\x01\x02garbage[[[\n=\n" << "es" << "exclude" << 100 << standard;
        storedShortcut("alt alone is enough", "shortcutKeyCode=49\nshortcutModifiers=2048\nshortcutDisplay=X\n", "Alt+Espacio");
        storedShortcut("shortcut without display", "shortcutKeyCode=96\nshortcutModifiers=4608\n", standard);
        storedShortcut("modifiers garbage", "shortcutKeyCode=2\nshortcutModifiers=garbage\nshortcutDisplay=D\n", standard);
        storedShortcut("no modifier", "shortcutKeyCode=2\nshortcutModifiers=0\nshortcutDisplay=D\n", standard);
        storedShortcut("shift alone", "shortcutKeyCode=2\nshortcutModifiers=512\nshortcutDisplay=⇧D\n", standard);
        storedShortcut("key code out of range", "shortcutKeyCode=4294967296\nshortcutModifiers=4608\nshortcutDisplay=X\n", standard);
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
