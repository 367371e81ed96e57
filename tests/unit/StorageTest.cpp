// The support root, the move of the earlier "Olvena" data, the guarded removal of recordings, the
// runtime state file's strict reader, and links where Murmex writes.

#include "app/AppStorage.h"
#include "app/Autostart.h"
#include "app/RuntimeStateFile.h"
#include "support/Log.h"
#include "support/PrivateFiles.h"

#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <thread>
#include <vector>

using namespace Qt::Literals::StringLiterals;

namespace {

void writeFile(const QString &path, const QByteArray &content = "x")
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
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
        applicationSupport = home.filePath(u"data-%1"_s.arg(++testNumber));
        QDir().mkpath(applicationSupport);
        qputenv("XDG_DATA_HOME", applicationSupport.toUtf8());
        AppStorage::resetMigrationForTesting();
    }

    // The earlier folder becomes the root, once however many threads ask for the root at the same
    // time; beside a current root it is kept aside, hidden, and nothing of it is mixed in; where it
    // cannot be moved it stays, and the failure is logged.
    void earlierDataMovesOnce_data()
    {
        QTest::addColumn<QString>("current"); // what is where the root belongs
        QTest::addColumn<QString>("earlierDataIn");
        QTest::newRow("nothing: it becomes the root") << "" << "Murmex";
        QTest::newRow("a current root: kept aside") << "root" << ".Murmex - datos anteriores-*";
        // The root "does not exist", yet the folder cannot be renamed onto the link (even for root).
        QTest::newRow("a dangling link: it stays") << "link" << "Olvena";
    }

    void earlierDataMovesOnce()
    {
        QFETCH(QString, current);
        QFETCH(QString, earlierDataIn);
        writeFile(applicationSupport + u"/Olvena/old.txt"_s, "old");
        if (current == u"root")
            writeFile(applicationSupport + u"/Murmex/new.txt"_s, "new");
        if (current == u"link")
            QVERIFY(QFile::link(applicationSupport + u"/nowhere"_s, applicationSupport + u"/Murmex"_s));
        QStringList lines;
        Log::setSink([&](const QString &line) { lines.append(line); }); // called under the migration's lock
        std::vector<std::jthread> readers(16);
        for (auto &reader : readers)
            reader = std::jthread([] { AppStorage::supportRootURL(); });
        readers.clear();
        Log::setSink({});

        QCOMPARE(AppStorage::supportRootURL(), applicationSupport + u"/Murmex"_s);
        const QStringList found = QDir(applicationSupport).entryList({earlierDataIn}, QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot);
        QCOMPARE(found.size(), 1);
        QCOMPARE(readFile(applicationSupport + u'/' + found.first() + u"/old.txt"_s), QByteArray("old"));
        QCOMPARE(QFileInfo::exists(applicationSupport + u"/Olvena"_s), current == u"link");
        QCOMPARE(QDir(applicationSupport).entryList({u".Murmex*"_s}, QDir::Dirs | QDir::Hidden).size(), current == u"root" ? 1 : 0);
        if (current == u"root")
            QCOMPARE(QDir(applicationSupport + u"/Murmex"_s).entryList(QDir::Files), QStringList{u"new.txt"_s});
        QCOMPARE(lines.size(), current == u"link" ? 1 : 0);
        QVERIFY(lines.isEmpty() || lines.first().startsWith(u"[MurmexStorage] No se pudieron migrar los datos: "));
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
        const QString root = AppStorage::supportRootURL();
        const QString outside = home.filePath(u"precious"_s);
        const QStringList kept{root + u"/Dictionaries/es.json"_s, root + u"/Recordings-old/keep.wav"_s, outside + u"/thesis.txt"_s};
        for (const QString &file : kept + QStringList{root + u"/Recordings/2024-03-05_14-07-09_1A2B3C4D/segment-001.wav"_s})
            writeFile(file);
        QVERIFY(QFile::link(outside, root + u"/Recordings/link"_s));

        AppStorage::removeRecordingFolderIfOwned(root + u'/' + target, AppStorage::recordingsRootURL());

        const QFileInfo targetInfo(QDir::cleanPath(root + u'/' + target));
        QTEST(!targetInfo.exists() && !targetInfo.isSymLink(), "removed");
        for (const QString &file : kept)
            QVERIFY2(QFileInfo::exists(file), qPrintable(file));
    }

    void runtimeStateIsReadOnlyWhenWellFormed_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("read"); // "pid state folder", empty for nothing
        QTest::newRow("written by Murmex") << QByteArray("{\"pid\":4242,\"state\":\"recording\"}") << "4242 recording ";
        QTest::newRow("with its folder") << QByteArray("{\"pid\":4242,\"state\":\"transcribing\",\"folder\":\"2026-12-07 10.00.00\"}")
                                         << "4242 transcribing 2026-12-07 10.00.00";
        // Only a name inside Recordings: a path leading elsewhere is dropped, the rest still read.
        QTest::newRow("folder leading out") << QByteArray("{\"pid\":4242,\"state\":\"recording\",\"folder\":\"../../.ssh\"}") << "4242 recording ";
        QTest::newRow("folder as a path") << QByteArray("{\"pid\":4242,\"state\":\"recording\",\"folder\":\"/etc\"}") << "4242 recording ";
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
        const auto contents = RuntimeStateFile::parse(bytes);
        QTEST(contents ? u"%1 %2 %3"_s.arg(contents->pid).arg(rawValue(contents->state), contents->folder) : QString(), "read");
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
        const bool file = link.contains(u'.');
        const QString root = AppStorage::supportRootURL();
        const QString elsewhere = home.filePath(u"elsewhere-%1"_s.arg(testNumber));
        const QString at = root + u'/' + link;
        QDir().mkpath(root);
        if (!dangling)
            file ? writeFile(elsewhere, "theirs") : void(QDir().mkpath(elsewhere));
        QVERIFY(QFile::link(elsewhere, at));

        if (file)
            RuntimeStateFile::persist(DictationState::recording);
        else
            QVERIFY(PrivateFiles::makeFolder(root, at + u"/2026-12-06_10-00-00_ABCDEF12"_s));

        QVERIFY(!QFileInfo(at).isSymLink());
        QVERIFY(file ? QFileInfo(at).isFile() : QFileInfo(at).isDir());
        QCOMPARE(QFileInfo::exists(elsewhere), !dangling);
        if (!dangling)
            QVERIFY(file ? readFile(elsewhere) == "theirs" : QDir(elsewhere).isEmpty());
    }

    // The autostart entry starts exactly the running program, whatever its path holds.
    void autostartEntryNamesTheProgram_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("execLine");
        QTest::newRow("plain") << u"/opt/murmex/bin/murmex"_s << u"Exec=\"/opt/murmex/bin/murmex\""_s;
        QTest::newRow("spaces and accents") << u"/home/ana maría/Murmex/bin/murmex"_s << u"Exec=\"/home/ana maría/Murmex/bin/murmex\""_s;
        QTest::newRow("reserved characters") << u"/tmp/a\"b$c`d/murmex"_s << u"Exec=\"/tmp/a\\\\\"b\\\\$c\\\\`d/murmex\""_s;
        QTest::newRow("backslash and percent") << u"/tmp/a\\b%u/murmex"_s << u"Exec=\"/tmp/a\\\\\\\\b%%u/murmex\""_s;
        QTest::newRow("line break") << u"/tmp/a\nHidden=true/murmex"_s << u"Exec=\"/tmp/a Hidden=true/murmex\""_s;
    }

    void autostartEntryNamesTheProgram()
    {
        QFETCH(QString, program);
        const QStringList lines = Autostart::entryText(program, {}).split(u'\n');
        QCOMPARE(lines.filter(QRegularExpression(u"^Exec="_s)).size(), 1);
        QTEST(lines.filter(QRegularExpression(u"^Exec="_s)).value(0), "execLine");
        QVERIFY(!lines.contains(u"Hidden=true"_s));

        qputenv("XDG_CONFIG_HOME", home.filePath(u"config"_s).toUtf8());
        QVERIFY(Autostart::enable(program, {}).has_value());
        QVERIFY(Autostart::isEnabled());
        writeFile(Autostart::entryPath(), Autostart::entryText(program, {}).toUtf8() + "Hidden=true\n"); // switched off by the desktop
        QVERIFY(!Autostart::isEnabled());
        QVERIFY(Autostart::disable().has_value() && Autostart::disable().has_value());
        QVERIFY(!QFileInfo::exists(Autostart::entryPath()));
    }

private:
    QTemporaryDir home;
    QString applicationSupport;
    int testNumber = 0;
};

QTEST_GUILESS_MAIN(StorageTest)
#include "StorageTest.moc"
