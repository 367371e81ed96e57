// The updater's transfers against a real HTTP server on 127.0.0.1 (redirects, refused statuses,
// answers too large, announced or not, endless bodies), the unpacking of hostile zip archives
// made here with libarchive's writer, and the files the updater shares with the swap job.

#include "updates/ArchiveExtraction.h"
#include "updates/InstallPlaces.h"
#include "updates/LimitedDownloader.h"
#include "updates/UpdateFiles.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <archive.h>
#include <archive_entry.h>
#include <httplib.h>

#include <condition_variable>
#include <sys/stat.h>
#include <thread>

using namespace Qt::StringLiterals;

namespace {

constexpr int transferTimeout = 30000;
constexpr qint64 kib = 1024, mib = 1024 * kib;

// Everything below `folder`, relative to it, links included and not followed.
QStringList entriesBelow(const QString &folder)
{
    QStringList entries;
    QDirIterator walk(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (walk.hasNext())
        entries.append(QDir(folder).relativeFilePath(walk.next()));
    entries.sort();
    return entries;
}

// A line of /proc/self/status in bytes ("VmRSS", "VmHWM").
qint64 memoryFigure(const char *name)
{
    QFile status(u"/proc/self/status"_s);
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(name))
            return line.mid(qstrlen(name) + 1).trimmed().split(' ').value(0).toLongLong() * kib;
    return -1;
}

// The update server: fixed answers, and bodies that wait until the test opens the gate, so that
// a refusal made on the headers alone is told apart from one made after the body.
class Server {
public:
    Server()
    {
        server.Get("/archive", [](const httplib::Request &, httplib::Response &response) {
            response.set_content(std::string(1000, 'z'), "application/zip");
        });
        server.Get("/redirect", [this](const httplib::Request &, httplib::Response &response) {
            response.set_redirect("http://127.0.0.1:" + std::to_string(port) + "/archive");
        });
        server.Get("/missing", [](const httplib::Request &, httplib::Response &response) {
            response.status = 404;
            response.set_content("no", "text/plain");
        });
        server.Get("/announced", [this](const httplib::Request &, httplib::Response &response) {
            response.set_content_provider(size_t(1) << 30, "application/zip", [this](size_t, size_t, httplib::DataSink &sink) {
                waitForGate();
                return sink.write(std::string(64 * kib, 'a').data(), 64 * kib);
            });
        });
        // Without a length: the body ends when the server closes the connection.
        server.Get("/unannounced", [](const httplib::Request &, httplib::Response &response) {
            response.set_content_provider("application/zip", [](size_t offset, httplib::DataSink &sink) {
                if (offset >= size_t(64 * kib))
                    sink.done();
                else
                    sink.write(std::string(16 * kib, 'u').data(), 16 * kib);
                return true;
            });
        });
        // Chunks for as long as someone reads them (bounded, should the client never stop).
        server.Get("/endless", [](const httplib::Request &, httplib::Response &response) {
            response.set_chunked_content_provider("application/zip", [](size_t offset, httplib::DataSink &sink) {
                static const std::string chunk(64 * kib, 'e');
                if (offset > size_t(1) << 30)
                    return false;
                return sink.write(chunk.data(), chunk.size());
            });
        });
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
    }
    ~Server()
    {
        openGate();
        server.stop();
        thread.join();
    }

    QUrl url(const QString &path) const { return QUrl(u"http://127.0.0.1:%1%2"_s.arg(port).arg(path)); }

    void openGate()
    {
        std::lock_guard lock(mutex);
        gateOpen = true;
        gateChanged.notify_all();
    }
    void closeGate()
    {
        std::lock_guard lock(mutex);
        gateOpen = false;
    }

private:
    void waitForGate()
    {
        std::unique_lock lock(mutex);
        gateChanged.wait_for(lock, std::chrono::seconds(120), [this] { return gateOpen; });
    }

    httplib::Server server;
    std::thread thread;
    int port = 0;
    std::mutex mutex;
    std::condition_variable gateChanged;
    bool gateOpen = false;
};

// A zip entry as the test writes it. What libarchive's zip writer refuses to write (devices,
// FIFOs, a size that understates the data) is patched into the central directory afterwards.
struct Entry {
    QByteArray path;
    mode_t mode = AE_IFREG | 0644;
    QByteArray content = {};
    QByteArray link = {}; // symbolic link target, or hard link target with AE_IFREG
    bool hardLink = false;
    std::optional<quint32> statedSize = {};
};

// Overwrites a 32-bit field of the headers of the entry named `path`: local file headers (signature
// PK\3\4, name at 30) or central directory headers (PK\1\2, name at 46).
void patchHeaders(QByteArray &zip, bool central, const QByteArray &path, int field, quint32 value)
{
    const QByteArray signature = central ? "PK\x01\x02" : "PK\x03\x04";
    const int nameLengthAt = central ? 28 : 26, nameAt = central ? 46 : 30;
    for (qsizetype at = zip.indexOf(signature); at >= 0; at = zip.indexOf(signature, at + 4)) {
        const int nameLength = quint8(zip[at + nameLengthAt]) | quint8(zip[at + nameLengthAt + 1]) << 8;
        if (zip.mid(at + nameAt, nameLength) != path)
            continue;
        for (int i = 0; i < 4; ++i)
            zip[at + field + i] = char(value >> (8 * i));
    }
}

bool writeZip(const QString &path, const QList<Entry> &entries)
{
    std::unique_ptr<archive, decltype(&archive_write_free)> writer(archive_write_new(), archive_write_free);
    archive_write_set_format_zip(writer.get());
    if (archive_write_open_filename(writer.get(), QFile::encodeName(path).constData()) != ARCHIVE_OK)
        return false;
    std::unique_ptr<archive_entry, decltype(&archive_entry_free)> header(archive_entry_new(), archive_entry_free);
    for (const Entry &entry : entries) {
        archive_entry_clear(header.get());
        archive_entry_set_pathname(header.get(), entry.path.constData());
        const mode_t type = entry.mode & S_IFMT;
        const bool writable = type == AE_IFREG || type == AE_IFDIR || type == AE_IFLNK;
        archive_entry_set_mode(header.get(), writable ? entry.mode : (AE_IFREG | 0644));
        if (type == AE_IFLNK)
            archive_entry_set_symlink(header.get(), entry.link.constData());
        if (entry.hardLink)
            archive_entry_set_hardlink(header.get(), entry.link.constData());
        archive_entry_set_size(header.get(), entry.content.size());
        if (archive_write_header(writer.get(), header.get()) != ARCHIVE_OK
            || archive_write_data(writer.get(), entry.content.constData(), entry.content.size()) != entry.content.size())
            return false;
    }
    if (archive_write_close(writer.get()) != ARCHIVE_OK)
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite))
        return false;
    QByteArray zip = file.readAll();
    for (const Entry &entry : entries) {
        if (const mode_t type = entry.mode & S_IFMT; type != AE_IFREG && type != AE_IFDIR && type != AE_IFLNK)
            patchHeaders(zip, true, entry.path, 38, quint32(entry.mode) << 16); // external attributes
        if (entry.statedSize) { // uncompressed size
            patchHeaders(zip, false, entry.path, 22, *entry.statedSize);
            patchHeaders(zip, true, entry.path, 24, *entry.statedSize);
        }
    }
    return file.seek(0) && file.write(zip) == zip.size();
}

mode_t modeOf(const QString &path)
{
    struct stat status {};
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 ? status.st_mode : 0;
}

} // namespace

Q_DECLARE_METATYPE(Entry)

class UpdateTransferTest : public QObject {
    Q_OBJECT

private slots:
    void transfer_data();
    void transfer();
    void extraction_data();
    void extraction();
    void updateFilesRoundTrip();
    void malformedUpdateFiles_data();
    void malformedUpdateFiles();
    void insideUpdatesDirectory_data();
    void insideUpdatesDirectory();
    void bundleManager_data();
    void bundleManager();

private:
    Server server;
};

void UpdateTransferTest::transfer_data()
{
    QTest::addColumn<QString>("path"); // empty: a port where no one listens
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

void UpdateTransferTest::transfer()
{
    QFETCH(QString, path);
    QFETCH(qint64, limit);
    QFETCH(qint64, acceptedBytes);
    QFETCH(int, status);
    QFETCH(bool, transportFailure);

    QUrl url = server.url(path);
    if (path.isEmpty()) {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        url = QUrl(u"http://127.0.0.1:%1/archive"_s.arg(closed.serverPort()));
        closed.close();
    }
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const QString destination = folder.filePath(u"update.zip"_s);

    server.closeGate();
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
        QTRY_VERIFY_WITH_TIMEOUT(answered(), transferTimeout);
        QCOMPARE(downloader.activeTransfers(), 0);
    }
    server.openGate();
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
    if (result->ok) {
        QCOMPARE(result->file, destination);
        QCOMPARE(QFileInfo(destination).size(), acceptedBytes);
        QCOMPARE(entriesBelow(folder.path()), QStringList{u"update.zip"_s});
    } else {
        QVERIFY(result->file.isEmpty());
        QCOMPARE(entriesBelow(folder.path()), QStringList());
    }
}

void UpdateTransferTest::extraction_data()
{
    QTest::addColumn<QList<Entry>>("entries");
    QTest::addColumn<QString>("refusal"); // a piece of the error, empty when the archive unpacks

    const QList<Entry> tree = {
        {"Murmex/", AE_IFDIR | 0755},
        {"Murmex/bundle.json", AE_IFREG | 0644, R"({"version":"1.2.3"})"},
        {"Murmex/bin/murmex", AE_IFREG | 0755, QByteArray(3000, 'm')},
        {"Murmex/bin/helper", AE_IFREG | 06777, "#!/bin/sh\n"},
        // The zip format has no hard links, and the zip reader takes a FIFO's mode for a plain
        // file's: both arrive as empty regular files of their own.
        {"Murmex/bin/alias", AE_IFREG | 0755, {}, "Murmex/bin/murmex", true},
        {"Murmex/fifo", S_IFIFO | 0644},
    };
    QTest::newRow("a bundle unpacks") << tree << QString();
    QTest::newRow("parent folder") << QList<Entry>{{"Murmex/", AE_IFDIR | 0755}, {"../outside", AE_IFREG | 0644, "x"}} << u"«../outside» rechazada: su ruta contiene «..»"_s;
    QTest::newRow("parent folder inside the path") << QList<Entry>{{"Murmex/../../outside", AE_IFREG | 0644, "x"}} << u"contiene «..»"_s;
    QTest::newRow("absolute path") << QList<Entry>{{"/ABSOLUTE/outside", AE_IFREG | 0644, "x"}} << u"su ruta es absoluta"_s;
    QTest::newRow("symbolic link") << QList<Entry>{{"Murmex/", AE_IFDIR | 0755}, {"Murmex/link", AE_IFLNK | 0777, {}, "../.."}} << u"«Murmex/link» rechazada: es un enlace simbólico"_s;
    QTest::newRow("character device") << QList<Entry>{{"Murmex/null", S_IFCHR | 0666}} << u"«Murmex/null» rechazada: no es un archivo ni una carpeta"_s;
    QTest::newRow("over the size limit")
        << QList<Entry>{{"Murmex/a", AE_IFREG | 0644, QByteArray(5000, 'a')}, {"Murmex/b", AE_IFREG | 0644, QByteArray(5000, 'b')}}
        << u"«Murmex/b» rechazada: el contenido desempaquetado pasaría de 8192 bytes"_s;
    QTest::newRow("size understated in the archive")
        << QList<Entry>{{"Murmex/big", AE_IFREG | 0644, QByteArray(1 << 20, 'a'), {}, false, 100}}
        << u"«Murmex/big» rechazada: el contenido desempaquetado pasaría de 8192 bytes"_s;
}

void UpdateTransferTest::extraction()
{
    QFETCH(QList<Entry>, entries);
    QFETCH(QString, refusal);

    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    for (Entry &entry : entries)
        entry.path.replace("/ABSOLUTE", QFile::encodeName(folder.path()));
    const QString archivePath = folder.filePath(u"update.zip"_s);
    const QString destination = folder.filePath(u"stage"_s);
    QVERIFY(writeZip(archivePath, entries));
    QVERIFY(QDir().mkdir(destination));

    const Expected<void> unpacked = ArchiveExtraction::extractZip(archivePath, destination, 8 * kib);

    if (refusal.isEmpty()) {
        QVERIFY2(unpacked, qPrintable(unpacked ? QString() : unpacked.error().description));
        QCOMPARE(entriesBelow(destination), (QStringList{u"Murmex"_s, u"Murmex/bin"_s, u"Murmex/bin/alias"_s, u"Murmex/bin/helper"_s,
                                                         u"Murmex/bin/murmex"_s, u"Murmex/bundle.json"_s, u"Murmex/fifo"_s}));
        QCOMPARE(QFileInfo(destination + u"/Murmex/bin/murmex"_s).size(), 3000);
        QCOMPARE(modeOf(destination + u"/Murmex/bin/murmex"_s) & 07777, mode_t(0755));
        QCOMPARE(modeOf(destination + u"/Murmex/bin/helper"_s) & 07777, mode_t(0775)); // no set-id bits, no writing by others
        QCOMPARE(QFileInfo(destination + u"/Murmex/bin/alias"_s).size(), 0);
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

void UpdateTransferTest::updateFilesRoundTrip()
{
    QTemporaryDir support;
    const QString updates = support.filePath(u"Updates"_s);
    const UpdateFiles::PendingNote note{u"1.2.4"_s, updates + u"/stage-1.2.4/Murmex"_s};
    QVERIFY(UpdateFiles::writePendingNote(updates, note));
    const QDateTime now = QDateTime::fromMSecsSinceEpoch(1'767'225'600'250, Qt::UTC);
    QVERIFY(UpdateFiles::writeAttemptGuard(updates, u"1.2.4"_s, now));

    const auto pending = UpdateFiles::readPendingNote(updates);
    QVERIFY(pending);
    QCOMPARE(pending->version, note.version);
    QCOMPARE(pending->newAppPath, note.newAppPath);
    const auto guard = UpdateFiles::readAttemptGuard(updates);
    QVERIFY(guard);
    QCOMPARE(guard->version, u"1.2.4"_s);
    QCOMPARE(guard->timestamp, now);
    QFile written(UpdateFiles::attemptGuardPath(updates));
    QVERIFY(written.open(QIODevice::ReadOnly));
    QVERIFY(written.readAll().contains(R"("timestamp":1767225600.25)"));
    for (const QString &file : {UpdateFiles::pendingNotePath(updates), UpdateFiles::attemptGuardPath(updates)})
        QCOMPARE(modeOf(file) & 0777, mode_t(0600));
    QCOMPARE(entriesBelow(updates), (QStringList{u"attempt-guard.json"_s, u"pending.json"_s}));
}

void UpdateTransferTest::malformedUpdateFiles_data()
{
    QTest::addColumn<QByteArray>("pending");
    QTest::addColumn<QByteArray>("guard");
    QTest::newRow("empty") << QByteArray() << QByteArray();
    QTest::newRow("not JSON") << QByteArray("{\"version\":") << QByteArray("ok");
    QTest::newRow("not an object") << QByteArray(R"(["1.2.4","/x"])") << QByteArray("1767225600");
    QTest::newRow("a key missing") << QByteArray(R"({"version":"1.2.4"})") << QByteArray(R"({"timestamp":1767225600})");
    QTest::newRow("wrong types") << QByteArray(R"({"version":124,"newAppPath":"/x"})") << QByteArray(R"({"version":"1.2.4","timestamp":"1767225600"})");
}

void UpdateTransferTest::malformedUpdateFiles()
{
    QFETCH(QByteArray, pending);
    QFETCH(QByteArray, guard);
    QTemporaryDir updates;
    for (const auto &[path, bytes] : {std::pair{UpdateFiles::pendingNotePath(updates.path()), pending},
                                      std::pair{UpdateFiles::attemptGuardPath(updates.path()), guard}}) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    }
    QVERIFY(!UpdateFiles::readPendingNote(updates.path()));
    QVERIFY(!UpdateFiles::readAttemptGuard(updates.path()));
}

void UpdateTransferTest::insideUpdatesDirectory_data()
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

void UpdateTransferTest::insideUpdatesDirectory()
{
    QFETCH(QString, path);
    QFETCH(bool, inside);
    QCOMPARE(UpdateFiles::isInsideUpdatesDirectory(path, u"/home/ana/.local/share/Murmex/Updates"_s), inside);
}

void UpdateTransferTest::bundleManager_data()
{
    QTest::addColumn<QByteArray>("bundleJson"); // null: no bundle.json
    QTest::addColumn<int>("manager");
    QTest::newRow("update archive") << QByteArray(R"({"identifier":"com.tarvo.murmex"})") << int(BundleManager::self);
    QTest::newRow("build tree") << QByteArray(R"({"managedBy":"build-tree"})") << int(BundleManager::buildTree);
    QTest::newRow("Debian package") << QByteArray(R"({"managedBy":"package-manager"})") << int(BundleManager::packageManager);
    QTest::newRow("unknown manager") << QByteArray(R"({"managedBy":"someone"})") << int(BundleManager::buildTree);
    QTest::newRow("unreadable") << QByteArray("{") << int(BundleManager::buildTree);
    QTest::newRow("missing") << QByteArray() << int(BundleManager::buildTree);
}

void UpdateTransferTest::bundleManager()
{
    QFETCH(QByteArray, bundleJson);
    QFETCH(int, manager);
    QTemporaryDir bundle;
    if (!bundleJson.isNull()) {
        QFile file(bundle.filePath(u"bundle.json"_s));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bundleJson) == bundleJson.size());
    }
    QCOMPARE(int(::bundleManager(bundle.path())), manager);
}

QTEST_GUILESS_MAIN(UpdateTransferTest)
#include "UpdateTransferTest.moc"
