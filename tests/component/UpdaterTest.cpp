// The updater against a feed served by the test on 127.0.0.1: every answer that must not become a
// pending update is refused with its log line and leaves nothing behind; a good one is noted and
// installed only once dictation is idle and no recent attempt failed.
#include "UpdateArchive.h"
#include "UpdateSigning.h"
#include "support/Log.h"
#include "updates/FeedAutoUpdater.h"
#include "updates/UpdateFiles.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <httplib.h>

#include <mutex>
#include <thread>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

class UpdaterTest : public QObject {
    Q_OBJECT

    using Answer = std::function<void(httplib::Response &)>;

    QTemporaryDir home;
    const QString installed = home.filePath(u".local/opt/murmex"_s), updates = home.filePath(u"data/Murmex/Updates"_s);
    const QString feedPath = u"/murmex-update.json"_s;
    httplib::Server server;
    std::thread serverThread;
    int port = 0;
    std::mutex mutex; // guards answers and logLines, used on the server's and the updater's threads
    QHash<QString, Answer> answers; // by path
    QStringList logLines;

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
        return std::make_unique<FeedAutoUpdater>(FeedAutoUpdater::Environment{
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
        });
    }

    void serve(const QString &path, const Answer &answer)
    {
        std::lock_guard lock(mutex);
        answers.insert(path, answer);
    }
    void serve(const QString &path, const QByteArray &body)
    {
        serve(path, [body](httplib::Response &response) { response.set_content(body.toStdString(), "application/octet-stream"); });
    }

    // A signed bundle of `bundleVersion` zipped and served at the download address of `version`;
    // returns the manifest that offers it.
    QByteArray publish(const QString &version, const QString &bundleVersion, bool withSymlink = false, bool wrongDigest = false)
    {
        QTemporaryDir bundle;
        [&] { QVERIFY(UpdateSigning::writeMinimalBundle(bundle.path(), bundleVersion) && UpdateSigning::writeCodeSignature(bundle.path(), UpdateSigning::testKey())); }();
        const QByteArray zip = UpdateArchive::zip(bundle.path(), u"Murmex"_s, withSymlink ? u"share/murmex/link"_s : QString());
        const QByteArray digest = QCryptographicHash::hash(wrongDigest ? zip + "x" : zip, QCryptographicHash::Sha512).toBase64();
        serve(u"/"_s + trust().archiveFileName(version), zip);
        return UpdateSigning::manifestJSON(UpdateSigning::signedManifest(UpdateSigning::testKey(), version, trust().downloadURL(version), QString::fromLatin1(digest)));
    }

    // One check, to its end; its log.
    QString check(FeedAutoUpdater &updater)
    {
        std::unique_lock lock(mutex);
        logLines.clear();
        lock.unlock();
        updater.checkForUpdate();
        [&] { QTRY_VERIFY_WITH_TIMEOUT(!updater.isChecking(), 30000); }();
        lock.lock();
        return logLines.join(u'\n');
    }

private slots:
    void initTestCase()
    {
        QVERIFY(UpdateSigning::writeMinimalBundle(installed, u"0.1.0"_s));
        Log::setSink([this](const QString &line) {
            std::lock_guard lock(mutex);
            logLines << line;
        });
        server.Get(".*", [this](const httplib::Request &request, httplib::Response &response) {
            std::unique_lock lock(mutex);
            const Answer answer = answers.value(QString::fromStdString(request.path), [](httplib::Response &notFound) { notFound.status = 404; });
            lock.unlock();
            answer(response);
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
        std::lock_guard lock(mutex);
        answers.clear();
    }

    // Each answer ends the check with its log line, and leaves nothing in the updates folder.
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
        const QString offered = u"0.1.1"_s;
        if (feed == u"redirect")
            serve(feedPath, [url = trust().feedURL().toString().toStdString()](httplib::Response &r) { r.set_redirect(url); });
        else if (feed == u"endless")
            serve(feedPath, [](httplib::Response &r) {
                r.set_chunked_content_provider("application/octet-stream", [](size_t, httplib::DataSink &sink) { return sink.write(std::string(65536, 'x').data(), 65536); });
            });
        else if (feed == u"other key")
            serve(feedPath, UpdateSigning::manifestJSON(UpdateSigning::signedManifest(UpdateSigning::generateKey(), offered, trust().downloadURL(offered),
                                                                                      QString::fromLatin1(QByteArray(64, 'a').toBase64()))));
        else if (feed.front().isDigit())
            serve(feedPath, publish(feed, feed));
        else if (feed != u"missing")
            serve(feedPath, publish(offered, feed == u"bundle version" ? u"0.1.2"_s : offered, feed == u"symlink", feed == u"wrong digest"));
        if (feed == u"no archive")
            serve(u"/"_s + trust().archiveFileName(offered), [](httplib::Response &r) { r.status = 404; });

        auto updater = makeUpdater();
        const QString log = check(*updater);
        QVERIFY2(log.contains(u"[MurmexUpdater] "_s + logged), qPrintable(log));
        QVERIFY(!updater->pendingUpdate());
        QCOMPARE(UpdateArchive::entriesBelow(updates), QStringList());
        QVERIFY(scheduled.isEmpty());
    }

    // A good update is noted on disk; the first attempt waits 30 s while a dictation records, one
    // that finds a recent attempt of the same version waits 300 s, and one that may go ahead writes
    // the guard, hands the job the update and ends Murmex.
    void goodUpdateWaitsForIdle()
    {
        serve(feedPath, publish(u"0.1.1"_s, u"0.1.1"_s));
        auto updater = makeUpdater();
        updater->start([this] { return idle; });
        QTRY_VERIFY_WITH_TIMEOUT(updater->pendingUpdate().has_value(), 30000);
        const QString newApp = UpdateFiles::stagingFolder(updates, u"0.1.1"_s) + u"/Murmex"_s;
        QCOMPARE(UpdateFiles::readPendingNote(updates)->newAppPath, newApp);
        QCOMPARE(updater->pendingUpdate()->currentApp, QDir::cleanPath(installed));

        const auto runNext = [this](std::chrono::milliseconds expected) {
            QVERIFY(!scheduled.isEmpty());
            QCOMPARE(scheduled.front().first, expected);
            scheduled.takeFirst().second();
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
