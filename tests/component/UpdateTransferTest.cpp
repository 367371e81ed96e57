// The updater's transfers against a real HTTP server on 127.0.0.1 (redirects, refused statuses,
// answers too large, announced or not, endless bodies), the unpacking of hostile zip archives and
// the files the updater shares with the swap job.

#include "UpdateArchive.h"
#include "updates/ArchiveExtraction.h"
#include "updates/InstallPlaces.h"
#include "updates/LimitedDownloader.h"
#include "updates/UpdateFiles.h"

#include <QDir>
#include <QFileInfo>
#include <QMutex>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <httplib.h>

#include <future>
#include <thread>

using namespace Qt::StringLiterals;
using UpdateArchive::Entry;
using UpdateArchive::entriesBelow;

namespace {

constexpr qint64 kib = 1024, mib = 1024 * kib;

// A line of /proc/self/status in bytes ("VmRSS:", "VmHWM:").
qint64 memoryFigure(const char *name)
{
    for (const QByteArray &line : UpdateArchive::readFile(u"/proc/self/status"_s).split('\n'))
        if (line.startsWith(name))
            return line.mid(qstrlen(name)).trimmed().split(' ').value(0).toLongLong() * kib;
    return -1;
}

mode_t modeOf(const QString &path)
{
    struct stat status {};
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 ? status.st_mode : 0;
}

} // namespace

Q_DECLARE_METATYPE(Entry)
Q_DECLARE_METATYPE(BundleManager)

class UpdateTransferTest : public QObject {
    Q_OBJECT
    httplib::Server server;
    std::thread serverThread;
    int port = 0;
    // The announced body is held back until the test ends, so that a refusal made on the headers
    // alone is told apart from one made after the body.
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();

private slots:
    void initTestCase()
    {
        const auto get = [this](const char *path, auto answer) { server.Get(path, [answer](const httplib::Request &, httplib::Response &r) { answer(r); }); };
        get("/archive", [](httplib::Response &r) { r.set_content(std::string(1000, 'z'), "application/zip"); });
        get("/redirect", [this](httplib::Response &r) { r.set_redirect("http://127.0.0.1:" + std::to_string(port) + "/archive"); });
        get("/announced", [this](httplib::Response &r) {
            r.set_content_provider(size_t(1) << 30, "application/zip", [this](size_t, size_t, httplib::DataSink &sink) {
                released.wait_for(std::chrono::seconds(120));
                return sink.write(std::string(64 * kib, 'a').data(), 64 * kib);
            });
        });
        // Without a length: 64 KiB, ended by closing the connection.
        get("/unannounced", [](httplib::Response &r) {
            r.set_content_provider("application/zip", [](size_t offset, httplib::DataSink &sink) {
                if (offset >= size_t(64 * kib))
                    sink.done();
                else
                    sink.write(std::string(16 * kib, 'u').data(), 16 * kib);
                return true;
            });
        });
        // Chunks for as long as someone reads them (bounded, should the client never stop).
        get("/endless", [](httplib::Response &r) {
            r.set_chunked_content_provider("application/zip", [](size_t offset, httplib::DataSink &sink) {
                static const std::string chunk(64 * kib, 'e');
                return offset <= size_t(1) << 30 && sink.write(chunk.data(), chunk.size());
            });
        });
        port = server.bind_to_any_port("127.0.0.1");
        serverThread = std::thread([this] { server.listen_after_bind(); });
    }
    void cleanupTestCase()
    {
        release.set_value();
        server.stop();
        serverThread.join();
    }

    void transfer_data()
    {
        QTest::addColumn<QString>("path"); // empty: a port where no one listens; the server has no /missing
        QTest::addColumn<qint64>("limit");
        QTest::addColumn<qint64>("acceptedBytes"); // -1: refused
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("transportFailure"); // else refused for status, URL or size
        QTest::newRow("200 within the limit") << u"/archive"_s << 4 * kib << qint64(1000) << 200 << false;
        QTest::newRow("exactly at the limit") << u"/archive"_s << qint64(1000) << qint64(1000) << 200 << false;
        QTest::newRow("redirect not followed") << u"/redirect"_s << 4 * kib << qint64(-1) << 302 << false;
        QTest::newRow("404") << u"/missing"_s << 4 * kib << qint64(-1) << 404 << false;
        QTest::newRow("announced length over the limit, refused before the body") << u"/announced"_s << 4 * kib << qint64(-1) << 200 << true;
        QTest::newRow("endless chunked body, cancelled at the limit") << u"/endless"_s << 64 * mib << qint64(-1) << 200 << true;
        QTest::newRow("body over the limit without a length") << u"/unannounced"_s << 40 * kib << qint64(-1) << 200 << true;
        QTest::newRow("connection refused") << QString() << 4 * kib << qint64(-1) << 0 << true;
    }
    void transfer()
    {
        QFETCH(QString, path);
        QFETCH(qint64, limit);
        QFETCH(qint64, acceptedBytes);
        QFETCH(int, status);
        QFETCH(bool, transportFailure);
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const QUrl url(u"http://127.0.0.1:%1%2"_s.arg(path.isEmpty() ? closed.serverPort() : port).arg(path.isEmpty() ? u"/archive"_s : path));
        closed.close();
        QTemporaryDir folder;
        const QString destination = folder.filePath(u"update.zip"_s);

        QMutex mutex;
        std::optional<LimitedDownloader::Result> result;
        int completions = 0;
        bool onMainThread = false;
        qint64 largestFile = 0;
        QTimer watch; // the file's size while the body arrives
        watch.callOnTimeout([&] { largestFile = std::max(largestFile, QFileInfo(destination).size()); });
        watch.start(1);
        // The highest resident size from here on: the body must go to the file, not to memory.
        QFile peakReset(u"/proc/self/clear_refs"_s);
        const bool peakMeasured = peakReset.open(QIODevice::WriteOnly) && peakReset.write("5") == 1;
        peakReset.close();
        const qint64 residentBefore = memoryFigure("VmRSS:");
        {
            LimitedDownloader downloader;
            downloader.get(url, u"Murmex/1.0.0"_s, limit, destination, [&](LimitedDownloader::Result answer) {
                QMutexLocker lock(&mutex);
                ++completions;
                onMainThread = QThread::currentThread() == qApp->thread();
                result = std::move(answer);
            });
            const auto answered = [&] {
                QMutexLocker lock(&mutex);
                return result.has_value();
            };
            QTRY_VERIFY_WITH_TIMEOUT(answered(), 30000);
            QCOMPARE(downloader.activeTransfers(), 0);
        }
        watch.stop();

        QCOMPARE(completions, 1);
        QVERIFY(!onMainThread);
        QCOMPARE(result->httpStatus, status);
        QCOMPARE(!result->transportError.isEmpty(), transportFailure);
        QCOMPARE(result->ok, acceptedBytes >= 0);
        QVERIFY2(largestFile <= limit, qPrintable(u"%1 bytes written for a limit of %2"_s.arg(largestFile).arg(limit)));
        if (peakMeasured && limit >= 64 * mib) {
            const qint64 growth = memoryFigure("VmHWM:") - residentBefore;
            QVERIFY2(growth < 16 * mib, qPrintable(u"resident size grew by %1 MiB"_s.arg(growth / mib)));
        }
        QCOMPARE(result->file, result->ok ? destination : QString());
        QCOMPARE(entriesBelow(folder.path()), result->ok ? QStringList{u"update.zip"_s} : QStringList());
        if (result->ok)
            QCOMPARE(QFileInfo(destination).size(), acceptedBytes);
    }

    void extraction_data()
    {
        QTest::addColumn<QList<Entry>>("entries");
        QTest::addColumn<QString>("refusal"); // a piece of the error, empty when the archive unpacks
        const QList<Entry> tree = {
            {"Murmex/", S_IFDIR | 0755},
            {"Murmex/bundle.json", S_IFREG | 0644, R"({"version":"1.2.3"})"},
            {"Murmex/bin/murmex", S_IFREG | 0755, QByteArray(3000, 'm')},
            {"Murmex/bin/helper", S_IFREG | 06777, "#!/bin/sh\n"},
            // The zip format has no hard links, and the zip reader takes a FIFO's mode for a plain
            // file's: both arrive as empty regular files of their own.
            {"Murmex/bin/alias", S_IFREG | 0755, {}, "Murmex/bin/murmex", true},
            {"Murmex/fifo", S_IFIFO | 0644},
        };
        const auto tooLarge = u"rechazada: el contenido desempaquetado pasaría de 8192 bytes"_s;
        QTest::newRow("a bundle unpacks") << tree << QString();
        QTest::newRow("parent folder") << QList<Entry>{{"Murmex/", S_IFDIR | 0755}, {"../outside", S_IFREG | 0644, "x"}} << u"«../outside» rechazada: su ruta contiene «..»"_s;
        QTest::newRow("parent folder inside the path") << QList<Entry>{{"Murmex/../../outside", S_IFREG | 0644, "x"}} << u"contiene «..»"_s;
        QTest::newRow("absolute path") << QList<Entry>{{"/ABSOLUTE/outside", S_IFREG | 0644, "x"}} << u"su ruta es absoluta"_s;
        QTest::newRow("symbolic link") << QList<Entry>{{"Murmex/", S_IFDIR | 0755}, {"Murmex/link", S_IFLNK | 0777, {}, "../.."}} << u"«Murmex/link» rechazada: es un enlace simbólico"_s;
        QTest::newRow("character device") << QList<Entry>{{"Murmex/null", S_IFCHR | 0666}} << u"«Murmex/null» rechazada: no es un archivo ni una carpeta"_s;
        QTest::newRow("over the size limit") << QList<Entry>{{"Murmex/a", S_IFREG | 0644, QByteArray(5000, 'a')}, {"Murmex/b", S_IFREG | 0644, QByteArray(5000, 'b')}}
                                             << u"«Murmex/b» "_s + tooLarge;
        QTest::newRow("size understated in the archive") << QList<Entry>{{"Murmex/big", S_IFREG | 0644, QByteArray(1 << 20, 'a'), {}, false, 100}}
                                                         << u"«Murmex/big» "_s + tooLarge;
    }
    void extraction()
    {
        QFETCH(QList<Entry>, entries);
        QFETCH(QString, refusal);
        QTemporaryDir folder;
        for (Entry &entry : entries)
            entry.path.replace("/ABSOLUTE", QFile::encodeName(folder.path()));
        const QString archivePath = folder.filePath(u"update.zip"_s), destination = folder.filePath(u"stage"_s);
        QVERIFY(UpdateArchive::writeFile(archivePath, UpdateArchive::zip(entries)) && QDir().mkdir(destination));

        const Expected<void> unpacked = ArchiveExtraction::extractZip(archivePath, destination, 8 * kib);
        if (refusal.isEmpty()) {
            QVERIFY2(unpacked, qPrintable(unpacked ? QString() : unpacked.error().description));
            QCOMPARE(entriesBelow(destination), (QStringList{u"Murmex"_s, u"Murmex/bin"_s, u"Murmex/bin/alias"_s, u"Murmex/bin/helper"_s,
                                                             u"Murmex/bin/murmex"_s, u"Murmex/bundle.json"_s, u"Murmex/fifo"_s}));
            QCOMPARE(QFileInfo(destination + u"/Murmex/bin/murmex"_s).size(), 3000);
            QCOMPARE(modeOf(destination + u"/Murmex/bin/murmex"_s) & 07777, mode_t(0755));
            QCOMPARE(modeOf(destination + u"/Murmex/bin/helper"_s) & 07777, mode_t(0775)); // no set-id bits, no writing by others
        } else {
            QVERIFY(!unpacked);
            QVERIFY2(unpacked.error().description.contains(refusal), qPrintable(unpacked.error().description));
        }
        // Nothing outside the destination, and nothing in it but real folders and unlinked files.
        for (const QString &entry : entriesBelow(folder.path()))
            QVERIFY2(entry == u"update.zip"_s || entry == u"stage"_s || entry.startsWith(u"stage/"_s), qPrintable(entry));
        for (const QString &entry : entriesBelow(destination)) {
            struct stat status {};
            QCOMPARE(::lstat(QFile::encodeName(destination + u'/' + entry).constData(), &status), 0);
            QVERIFY2(S_ISDIR(status.st_mode) || (S_ISREG(status.st_mode) && status.st_nlink == 1), qPrintable(entry));
        }
    }

    // The note and the guard read back as written (the guard's time in seconds since 1970, which
    // every version reads), private to the user; anything else reads as no note and no guard.
    void updateFiles()
    {
        QTemporaryDir updates;
        const QDateTime now = QDateTime::fromMSecsSinceEpoch(1'767'225'600'250, Qt::UTC);
        QVERIFY(UpdateFiles::writePendingNote(updates.path(), {u"1.2.4"_s, updates.path() + u"/stage-1.2.4/Murmex"_s}));
        QVERIFY(UpdateFiles::writeAttemptGuard(updates.path(), u"1.2.4"_s, now));
        const auto note = UpdateFiles::readPendingNote(updates.path());
        const auto guard = UpdateFiles::readAttemptGuard(updates.path());
        QVERIFY(note && guard);
        QCOMPARE(std::pair(note->version, note->newAppPath), std::pair(u"1.2.4"_s, updates.path() + u"/stage-1.2.4/Murmex"_s));
        QCOMPARE(std::pair(guard->version, guard->timestamp), std::pair(u"1.2.4"_s, now));
        QVERIFY(UpdateArchive::readFile(UpdateFiles::attemptGuardPath(updates.path())).contains(R"("timestamp":1767225600.25)"));
        QCOMPARE(entriesBelow(updates.path()), (QStringList{u"attempt-guard.json"_s, u"pending.json"_s}));
        for (const QString &file : entriesBelow(updates.path()))
            QCOMPARE(modeOf(updates.filePath(file)) & 0777, mode_t(0600));

        const QList<std::pair<QByteArray, QByteArray>> malformed = {
            {"", ""},
            {"{\"version\":", "ok"},
            {R"(["1.2.4","/x"])", "1767225600"},
            {R"({"version":"1.2.4"})", R"({"timestamp":1767225600})"},
            {R"({"version":124,"newAppPath":"/x"})", R"({"version":"1.2.4","timestamp":"1767225600"})"},
        };
        for (const auto &[pending, guard] : malformed) {
            QVERIFY(UpdateArchive::writeFile(UpdateFiles::pendingNotePath(updates.path()), pending)
                    && UpdateArchive::writeFile(UpdateFiles::attemptGuardPath(updates.path()), guard));
            QVERIFY2(!UpdateFiles::readPendingNote(updates.path()), pending.constData());
            QVERIFY2(!UpdateFiles::readAttemptGuard(updates.path()), guard.constData());
        }
    }

    // The job deletes the staging folder it is given: only a path strictly inside the updates folder passes.
    void insideUpdatesDirectory_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("inside");
        QTest::newRow("staged bundle") << u"/home/ana/.local/share/Murmex/Updates/stage-1.2.4/Murmex"_s << true;
        QTest::newRow("uncleaned but inside") << u"/home/ana/.local/share/Murmex/Updates/./x/../stage-1.2.4"_s << true;
        QTest::newRow("the folder itself") << u"/home/ana/.local/share/Murmex/Updates/"_s << false;
        QTest::newRow("climbing out") << u"/home/ana/.local/share/Murmex/Updates/../Recordings"_s << false;
        QTest::newRow("sibling sharing the prefix") << u"/home/ana/.local/share/Murmex/Updates2/x"_s << false;
        QTest::newRow("relative") << u"Updates/stage-1.2.4"_s << false;
    }
    void insideUpdatesDirectory()
    {
        QFETCH(QString, path);
        QFETCH(bool, inside);
        QCOMPARE(UpdateFiles::isInsideUpdatesDirectory(path, u"/home/ana/.local/share/Murmex/Updates"_s), inside);
    }

    void bundleManager_data()
    {
        QTest::addColumn<QByteArray>("bundleJson"); // null: no bundle.json
        QTest::addColumn<BundleManager>("manager");
        QTest::newRow("update archive") << QByteArray(R"({"identifier":"com.tarvo.murmex"})") << BundleManager::self;
        QTest::newRow("build tree") << QByteArray(R"({"managedBy":"build-tree"})") << BundleManager::buildTree;
        QTest::newRow("Debian package") << QByteArray(R"({"managedBy":"package-manager"})") << BundleManager::packageManager;
        QTest::newRow("unknown manager") << QByteArray(R"({"managedBy":"someone"})") << BundleManager::buildTree;
        QTest::newRow("unreadable") << QByteArray("{") << BundleManager::buildTree;
        QTest::newRow("missing") << QByteArray() << BundleManager::buildTree;
    }
    void bundleManager()
    {
        QFETCH(QByteArray, bundleJson);
        QFETCH(BundleManager, manager);
        QTemporaryDir bundle;
        QVERIFY(bundleJson.isNull() || UpdateArchive::writeFile(bundle.filePath(u"bundle.json"_s), bundleJson));
        QCOMPARE(::bundleManager(bundle.path()), manager);
    }
};

QTEST_GUILESS_MAIN(UpdateTransferTest)
#include "UpdateTransferTest.moc"
