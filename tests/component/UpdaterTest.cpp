// The updater against a feed served by the test on 127.0.0.1: every answer that must not become a
// pending update is refused with its log line and leaves nothing behind; a good one is noted and
// installed only once dictation is idle and no recent attempt failed.
#include "UpdateArchive.h"
#include "UpdateSigning.h"
#include "support/Log.h"
#include "updates/FeedAutoUpdater.h"
#include "updates/UpdateFiles.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <httplib.h>

#include <mutex>
#include <thread>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

QByteArray sha512Base64(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha512).toBase64();
}

// Every file below `folder`, relative, for "nothing else was written".
QStringList filesBelow(const QString &folder)
{
    QStringList files;
    for (QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();)
        files << QDir(folder).relativeFilePath(it.next());
    files.sort();
    return files;
}

} // namespace

class UpdaterTest : public QObject {
    Q_OBJECT

    struct Answer {
        int status = 200;
        QByteArray body = {};
        bool endless = false;
        QString location = {};
    };

    QTemporaryDir home;
    QString installed, updates;
    httplib::Server server;
    std::thread serverThread;
    int port = 0;
    std::mutex answersMutex;
    QHash<QString, Answer> answers; // by path

    QStringList logLines;
    std::mutex logMutex;
    QList<std::pair<std::chrono::milliseconds, std::function<void()>>> scheduled;
    QList<SwapRequest> swaps;
    int terminations = 0;
    bool idle = true;
    QDateTime now = QDateTime::currentDateTimeUtc();

    UpdateTrust trust() const
    {
        UpdateTrust trust = UpdateSigning::testTrust();
        trust.feedPort = port;
        return trust;
    }

    std::unique_ptr<FeedAutoUpdater> makeUpdater()
    {
        FeedAutoUpdater::Environment environment{
            .bundleRoot = installed,
            .currentVersion = u"0.1.0"_s,
            .updatesDirectory = updates,
            .trust = trust(),
            .places = InstallPlaces::forHome(home.path()),
            .terminate = [this] { ++terminations; },
            .stageSwap = [this](const SwapRequest &request) -> Expected<void> {
                swaps << request;
                return {};
            },
            .acknowledgeHealth = {},
            .now = [this] { return now; },
            .schedule = [this](std::chrono::milliseconds delay, std::function<void()> action) { scheduled.append({delay, std::move(action)}); },
        };
        return std::make_unique<FeedAutoUpdater>(environment);
    }

    void serve(const QString &path, Answer answer)
    {
        std::lock_guard lock(answersMutex);
        answers.insert(path, std::move(answer));
    }

    // A signed bundle of `version` zipped, served at its download address, and its manifest as the feed.
    QByteArray publish(const QString &version, const QString &bundleVersion, bool withSymlink, bool wrongDigest)
    {
        QTemporaryDir bundle;
        [&] {
            QVERIFY(UpdateSigning::writeMinimalBundle(bundle.path(), bundleVersion));
            QVERIFY(UpdateSigning::writeCodeSignature(bundle.path(), UpdateSigning::testKey()));
        }();
        const QByteArray zip = UpdateArchive::zip(bundle.path(), u"Murmex"_s, withSymlink ? u"share/murmex/link"_s : QString());
        const QString url = trust().downloadURL(version);
        const UpdateManifest manifest =
            UpdateSigning::signedManifest(UpdateSigning::testKey(), version, url, QString::fromLatin1(sha512Base64(wrongDigest ? zip + "x" : zip)));
        serve(u"/"_s + trust().archiveFileName(version), {.body = zip});
        return UpdateSigning::manifestJSON(manifest);
    }

    // One check, to its end.
    QString check(FeedAutoUpdater &updater)
    {
        {
            std::lock_guard lock(logMutex);
            logLines.clear();
        }
        updater.checkForUpdate();
        [&] { QTRY_VERIFY_WITH_TIMEOUT(!updater.isChecking(), 30000); }();
        std::lock_guard lock(logMutex);
        return logLines.join(u'\n');
    }

private slots:
    void initTestCase()
    {
        QVERIFY(home.isValid());
        installed = home.filePath(u".local/opt/murmex"_s);
        updates = home.filePath(u"data/Murmex/Updates"_s);
        QVERIFY(UpdateSigning::writeMinimalBundle(installed, u"0.1.0"_s));
        Log::setSink([this](const QString &line) {
            std::lock_guard lock(logMutex);
            logLines << line;
        });
        server.Get(".*", [this](const httplib::Request &request, httplib::Response &response) {
            Answer answer;
            {
                std::lock_guard lock(answersMutex);
                answer = answers.value(QString::fromStdString(request.path), Answer{.status = 404});
            }
            response.status = answer.status;
            if (!answer.location.isEmpty())
                response.set_header("Location", answer.location.toStdString());
            if (answer.endless) {
                response.set_chunked_content_provider("application/octet-stream", [](size_t, httplib::DataSink &sink) {
                    static const std::string block(65536, 'x');
                    return sink.write(block.data(), block.size());
                });
                return;
            }
            response.set_content(answer.body.toStdString(), "application/octet-stream");
        });
        port = server.bind_to_any_port("127.0.0.1");
        QVERIFY(port > 0);
        serverThread = std::thread([this] { server.listen_after_bind(); });
    }

    void cleanupTestCase()
    {
        Log::setSink({});
        server.stop();
        serverThread.join();
    }

    void init()
    {
        QDir(updates).removeRecursively();
        std::lock_guard lock(answersMutex);
        answers.clear();
    }

    // Each answer ends the check with its log line, and leaves no staging folder, no note and no
    // other file in the updates folder.
    void refusals_data()
    {
        QTest::addColumn<QString>("feed");
        QTest::addColumn<QString>("logged");
        QTest::newRow("feed redirected") << u"redirect"_s << u"respuesta de feed inválida: tamaño o formato rechazado"_s;
        QTest::newRow("endless feed") << u"endless"_s << u"respuesta de feed inválida: "_s;
        QTest::newRow("feed missing") << u"missing"_s << u"respuesta de feed inválida: tamaño o formato rechazado"_s;
        QTest::newRow("manifest of another key") << u"other key"_s << u"manifiesto rechazado"_s;
        QTest::newRow("older version") << u"0.0.9"_s << u"sin actualización: remota 0.0.9, local 0.1.0"_s;
        QTest::newRow("same version") << u"0.1.0"_s << u"sin actualización: remota 0.1.0, local 0.1.0"_s;
        QTest::newRow("archive digest differs") << u"wrong digest"_s << u"actualización descartada: el resumen SHA-512 no coincide"_s;
        QTest::newRow("symbolic link in the archive") << u"symlink"_s << u"actualización descartada: Entrada «Murmex/share/murmex/link» rechazada: es un enlace simbólico."_s;
        QTest::newRow("bundle of another version") << u"bundle version"_s << u"actualización descartada: bundle.json: \"version\" no es \"0.1.1\""_s;
        QTest::newRow("archive missing") << u"no archive"_s << u"actualización descartada: descarga fallida (tamaño o formato rechazado)"_s;
    }

    void refusals()
    {
        QFETCH(QString, feed);
        QFETCH(QString, logged);
        const QString feedPath = u"/murmex-update.json"_s;
        if (feed == u"redirect")
            serve(feedPath, {.status = 302, .location = trust().feedURL().toString()});
        else if (feed == u"endless")
            serve(feedPath, {.endless = true});
        else if (feed == u"other key") {
            const UpdateManifest manifest = UpdateSigning::signedManifest(UpdateSigning::generateKey(), u"0.1.1"_s, trust().downloadURL(u"0.1.1"_s),
                                                                          QString::fromLatin1(QByteArray(64, 'a').toBase64()));
            serve(feedPath, {.body = UpdateSigning::manifestJSON(manifest)});
        } else if (feed.front().isDigit())
            serve(feedPath, {.body = publish(feed, feed, false, false)});
        else if (feed != u"missing") {
            const QByteArray manifest = publish(u"0.1.1"_s, feed == u"bundle version" ? u"0.1.2"_s : u"0.1.1"_s, feed == u"symlink", feed == u"wrong digest");
            if (feed == u"no archive")
                serve(u"/"_s + trust().archiveFileName(u"0.1.1"_s), {.status = 404});
            serve(feedPath, {.body = manifest});
        }

        auto updater = makeUpdater();
        const QString log = check(*updater);
        QVERIFY2(log.contains(u"[MurmexUpdater] "_s + logged), qPrintable(log));
        QVERIFY(!updater->pendingUpdate());
        QCOMPARE(filesBelow(updates), QStringList());
        QVERIFY(!QFileInfo::exists(UpdateFiles::stagingFolder(updates, u"0.1.1"_s)));
        QVERIFY(scheduled.isEmpty());
    }

    // A good update is noted on disk; the first attempt waits 30 s while a dictation records, one
    // that finds a recent attempt of the same version waits 300 s, and one that may go ahead writes
    // the guard, hands the job the update and ends Murmex.
    void goodUpdateWaitsForIdle()
    {
        serve(u"/murmex-update.json"_s, {.body = publish(u"0.1.1"_s, u"0.1.1"_s, false, false)});
        auto updater = makeUpdater();
        updater->start([this] { return idle; });
        QTRY_VERIFY_WITH_TIMEOUT(updater->pendingUpdate().has_value(), 30000);
        const QString newApp = UpdateFiles::stagingFolder(updates, u"0.1.1"_s) + u"/Murmex"_s;
        QCOMPARE(UpdateFiles::readPendingNote(updates)->newAppPath, newApp);
        QCOMPARE(updater->pendingUpdate()->currentApp, QDir::cleanPath(installed));

        const auto runNext = [this](std::chrono::milliseconds expected) {
            QVERIFY(!scheduled.isEmpty());
            QCOMPARE(scheduled.front().first, expected);
            const auto action = scheduled.takeFirst().second;
            action();
        };
        idle = false;
        runNext(3s);
        QCOMPARE(swaps.size(), 0);
        runNext(30s);
        idle = true;
        QVERIFY(UpdateFiles::writeAttemptGuard(updates, u"0.1.1"_s, now.addSecs(-60)));
        runNext(30s);
        QCOMPARE(swaps.size(), 0);
        now = now.addSecs(900);
        runNext(300s);
        QCOMPARE(swaps.size(), 1);
        QCOMPARE(swaps[0].update.newApp, newApp);
        QCOMPARE(swaps[0].applicationPid, qint64(QCoreApplication::applicationPid()));
        QCOMPARE(UpdateFiles::readAttemptGuard(updates)->timestamp, now);
        QCOMPARE(terminations, 1);
        QVERIFY(updater->isSwapStaged());
        QVERIFY(scheduled.isEmpty());
    }
};

QTEST_GUILESS_MAIN(UpdaterTest)
#include "UpdaterTest.moc"
