// The support root, the move of the earlier "Olvena" data, and the guarded removal of recordings.

#include "app/AppStorage.h"
#include "app/RuntimeStateFile.h"
#include "support/Log.h"
#include "support/PrivateFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <thread>
#include <vector>

namespace {

void writeFile(const QString &path, const QByteArray &content = "x")
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class StorageTest : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        QVERIFY(home.isValid());
        applicationSupport = home.path() + QStringLiteral("/data-%1").arg(++testNumber);
        QDir().mkpath(applicationSupport);
        qputenv("XDG_DATA_HOME", applicationSupport.toUtf8());
        AppStorage::resetMigrationForTesting();
    }

    // Beside a current root, the earlier folder is kept aside, hidden, and nothing of it is mixed
    // into the current data. (Alone, it becomes the root: see the next test.)
    void earlierFolderBesideCurrentIsKeptAside()
    {
        writeFile(applicationSupport + QStringLiteral("/Olvena/old.txt"), "old");
        writeFile(applicationSupport + QStringLiteral("/Murmex/new.txt"), "new");
        AppStorage::supportRootURL();

        QVERIFY(!QFileInfo::exists(applicationSupport + QStringLiteral("/Olvena")));
        const QStringList backups = QDir(applicationSupport).entryList({QStringLiteral(".Murmex - datos anteriores-*")},
                                                                       QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot);
        QCOMPARE(backups.size(), 1);
        QCOMPARE(readFile(applicationSupport + u'/' + backups.first() + QStringLiteral("/old.txt")), QByteArray("old"));
        QCOMPARE(QDir(applicationSupport + QStringLiteral("/Murmex")).entryList(QDir::Files), QStringList{QStringLiteral("new.txt")});
    }

    void earlierFolderAloneBecomesTheRootOnceAcrossThreads()
    {
        writeFile(applicationSupport + QStringLiteral("/Olvena/a.txt"));
        std::vector<std::thread> readers;
        for (int i = 0; i < 16; ++i)
            readers.emplace_back([] { AppStorage::supportRootURL(); });
        for (auto &reader : readers)
            reader.join();
        QCOMPARE(readFile(applicationSupport + QStringLiteral("/Murmex/a.txt")), QByteArray("x"));
        QVERIFY(!QFileInfo::exists(applicationSupport + QStringLiteral("/Olvena")));
        QVERIFY(QDir(applicationSupport).entryList({QStringLiteral(".Murmex*")}, QDir::Dirs | QDir::Hidden).isEmpty());
    }

    void failedMigrationIsLogged()
    {
        // A dangling link where the root belongs: the root "does not exist", yet the folder cannot
        // be renamed onto the link (even for root).
        writeFile(applicationSupport + QStringLiteral("/Olvena/a.txt"));
        QVERIFY(QFile::link(applicationSupport + QStringLiteral("/nowhere"), applicationSupport + QStringLiteral("/Murmex")));
        QStringList lines;
        Log::setSink([&](const QString &line) { lines.append(line); });
        QCOMPARE(AppStorage::supportRootURL(), applicationSupport + QStringLiteral("/Murmex"));
        Log::setSink({});
        QCOMPARE(lines.size(), 1);
        QVERIFY(lines.first().startsWith(QLatin1String("[MurmexStorage] No se pudieron migrar los datos: ")));
        QVERIFY(QFileInfo::exists(applicationSupport + QStringLiteral("/Olvena/a.txt")));
    }

    void removalOnlyBelowTheRecordingsRoot_data()
    {
        QTest::addColumn<QString>("target"); // relative to the support root
        QTest::addColumn<bool>("removed");
        QTest::newRow("a dictation folder") << "Recordings/2024-03-05_14-07-09_1A2B3C4D" << true;
        QTest::newRow("the recordings root itself") << "Recordings" << false;
        QTest::newRow("the root with a trailing slash") << "Recordings/" << false;
        QTest::newRow("the support root") << "." << false;
        QTest::newRow("a sibling sharing the prefix") << "Recordings-old" << false;
        QTest::newRow("a way out through ..") << "Recordings/../Dictionaries" << false;
        QTest::newRow("a dictation folder through .") << "Recordings/./2024-03-05_14-07-09_1A2B3C4D" << true;
        // The link itself goes; what it points to, outside the root, stays.
        QTest::newRow("a link out of the root") << "Recordings/link" << true;
    }

    void removalOnlyBelowTheRecordingsRoot()
    {
        QFETCH(QString, target);
        QFETCH(bool, removed);
        const QString root = AppStorage::supportRootURL();
        const QString outside = home.path() + QStringLiteral("/precious");
        writeFile(root + QStringLiteral("/Recordings/2024-03-05_14-07-09_1A2B3C4D/segment-001.wav"));
        writeFile(root + QStringLiteral("/Recordings-old/keep.wav"));
        writeFile(root + QStringLiteral("/Dictionaries/es.json"));
        writeFile(outside + QStringLiteral("/thesis.txt"));
        QVERIFY(QFile::link(outside, root + QStringLiteral("/Recordings/link")));

        AppStorage::removeRecordingFolderIfOwned(root + u'/' + target, AppStorage::recordingsRootURL());

        const QFileInfo targetInfo(QDir::cleanPath(root + u'/' + target));
        QCOMPARE(!targetInfo.exists() && !targetInfo.isSymLink(), removed);
        for (const QString &kept : {root + QStringLiteral("/Dictionaries/es.json"), root + QStringLiteral("/Recordings-old/keep.wav"),
                                    outside + QStringLiteral("/thesis.txt")})
            QVERIFY2(QFileInfo::exists(kept), qPrintable(kept));
    }

private:
    QTemporaryDir home;
    QString applicationSupport;
    int testNumber = 0;

    void runtimeStateIsReadOnlyWhenWellFormed_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("read"); // "pid state", empty for nothing
        QTest::newRow("written by Murmex") << QByteArray("{\"pid\":4242,\"state\":\"recording\"}") << "4242 recording";
        QTest::newRow("unknown state") << QByteArray("{\"pid\":4242,\"state\":\"dictating\"}") << "";
        QTest::newRow("pid as text") << QByteArray("{\"pid\":\"4242\",\"state\":\"idle\"}") << "";
        QTest::newRow("fractional pid") << QByteArray("{\"pid\":42.5,\"state\":\"idle\"}") << "";
        QTest::newRow("pid beyond any process") << QByteArray("{\"pid\":1e300,\"state\":\"idle\"}") << "";
        QTest::newRow("an array") << QByteArray("[4242,\"idle\"]") << "";
        QTest::newRow("cut short") << QByteArray("{\"pid\":4242,\"sta") << "";
    }

    void runtimeStateIsReadOnlyWhenWellFormed()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, read);
        const auto contents = RuntimeStateFile::parse(bytes);
        QCOMPARE(contents ? QStringLiteral("%1 %2").arg(contents->pid).arg(rawValue(contents->state)) : QString(), read);
    }

    // A link where Murmex writes its own file or folder is replaced, never written through.
    void linksAreReplacedNotFollowed_data()
    {
        QTest::addColumn<QString>("link"); // below the support root
        QTest::addColumn<bool>("dangling");
        QTest::newRow("state file to a file elsewhere") << "runtime-state.json" << false;
        QTest::newRow("state file to nothing") << "runtime-state.json" << true;
        QTest::newRow("recordings folder to a folder elsewhere") << "Recordings" << false;
    }

    void linksAreReplacedNotFollowed()
    {
        QFETCH(QString, link);
        QFETCH(bool, dangling);
        const QString root = AppStorage::supportRootURL();
        const QString elsewhere = home.path() + QStringLiteral("/elsewhere-%1").arg(testNumber);
        const QString at = root + u'/' + link;
        QDir().mkpath(root);
        if (!dangling)
            link.contains(u'.') ? writeFile(elsewhere, "theirs") : void(QDir().mkpath(elsewhere));
        QVERIFY(QFile::link(elsewhere, at));

        if (link.contains(u'.'))
            RuntimeStateFile::persist(DictationState::recording);
        else
            QVERIFY(PrivateFiles::makeFolder(root, at + QStringLiteral("/2026-12-06_10-00-00_ABCDEF12")));

        QVERIFY(!QFileInfo(at).isSymLink());
        QVERIFY(QFileInfo(at).isDir() || QFileInfo(at).isFile());
        QCOMPARE(QFileInfo::exists(elsewhere), !dangling);
        if (!dangling && link.contains(u'.'))
            QCOMPARE(readFile(elsewhere), QByteArray("theirs"));
        if (!dangling && !link.contains(u'.'))
            QVERIFY(QDir(elsewhere).isEmpty());
    }
};

QTEST_GUILESS_MAIN(StorageTest)
#include "StorageTest.moc"
