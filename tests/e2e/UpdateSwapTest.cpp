// A real Murmex installed in ~/.local/opt/murmex updates itself from a feed the test serves on
// 127.0.0.1: it downloads and checks the new version, quits, the detached job swaps the bundles and
// starts the new version, which confirms its start; a new version that cannot start is stopped and
// the old one put back and started again. The Murmex here is built to trust the tests' key.
#include "UpdateArchive.h"
#include "UpdateSigning.h"
#include "support/Processes.h"
#include "updates/UpdateFiles.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <httplib.h>

#include <csignal>
#include <thread>

using namespace Qt::StringLiterals;

namespace {

const QString bundle = qEnvironmentVariable("MURMEX_BUNDLE_DIR");
const QString doubles = QStringLiteral(MURMEX_DOUBLES_DIR);
const QString variant = QStringLiteral(MURMEX_UPDATE_VARIANT);
// The swap waits up to 60 s for the new version's confirmation, then up to 15 s for it to end.
constexpr int swapBound = 120'000;

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString bundleVersion(const QString &root)
{
    return QJsonDocument::fromJson(readFile(root + u"/bundle.json"_s)).object().value(u"version"_s).toString();
}

// Processes running `program`, by their /proc/PID/exe.
QList<qint64> processesRunning(const QString &program)
{
    QList<qint64> pids;
    for (const QString &entry : QDir(u"/proc"_s).entryList(QDir::Dirs)) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        if (number && Processes::executable(pid) == program)
            pids << pid;
    }
    return pids;
}

// A copy of the build's bundle as an update archive would carry it (no "managedBy"), of `version`,
// whose bin/murmex is `program`.
bool makeBundle(const QString &root, const QString &version, const QString &program)
{
    if (QProcess::execute(u"cp"_s, {u"-a"_s, bundle, root}) != 0)
        return false;
    QFile::remove(root + u"/bin/murmex"_s);
    QFile json(root + u"/bundle.json"_s);
    const QJsonObject fields{{u"identifier"_s, u"com.tarvo.murmex"_s}, {u"version"_s, version}, {u"executable"_s, u"murmex"_s}};
    return QFile::copy(program, root + u"/bin/murmex"_s) && json.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && json.write(QJsonDocument(fields).toJson()) > 0;
}

} // namespace

class UpdateSwapTest : public QObject {
    Q_OBJECT

    const QString installed = QDir::homePath() + u"/.local/opt/murmex"_s;
    const QString updates = qEnvironmentVariable("XDG_DATA_HOME") + u"/Murmex/Updates"_s;
    const UpdateTrust trust = UpdateSigning::testTrust();
    QTemporaryDir scratch;
    httplib::Server server;
    std::thread serverThread;
    QByteArray feed, archive;
    QProcess murmex;

    // Publishes version 0.1.1 with `program` as its bin/murmex.
    void publish(const QString &program)
    {
        const QString root = scratch.filePath(u"new-"_s + QFileInfo(program).fileName());
        QVERIFY(makeBundle(root, u"0.1.1"_s, program));
        QVERIFY(UpdateSigning::writeCodeSignature(root, UpdateSigning::testKey()));
        archive = UpdateArchive::zip(root, u"Murmex"_s);
        const QString digest = QString::fromLatin1(QCryptographicHash::hash(archive, QCryptographicHash::Sha512).toBase64());
        feed = UpdateSigning::manifestJSON(UpdateSigning::signedManifest(UpdateSigning::testKey(), u"0.1.1"_s, trust.downloadURL(u"0.1.1"_s), digest));
    }

    void install()
    {
        QDir(installed).removeRecursively();
        QDir(updates).removeRecursively();
        QVERIFY(QDir().mkpath(QFileInfo(installed).path()));
        QVERIFY(makeBundle(installed, u"0.1.0"_s, variant));
    }

    // Starts the installed Murmex and waits until it has handed the update to the job and ended.
    void runUntilHandedOver()
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"PATH"_s, doubles + u":"_s + environment.value(u"PATH"_s));
        murmex.setProcessEnvironment(environment);
        murmex.setProcessChannelMode(QProcess::ForwardedOutputChannel);
        murmex.start(installed + u"/bin/murmex"_s, {});
        QVERIFY(murmex.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(murmex.state() == QProcess::NotRunning, 60'000);
        QCOMPARE(murmex.exitStatus(), QProcess::NormalExit);
        QCOMPARE(murmex.exitCode(), 0);
        const QString log = QString::fromUtf8(murmex.readAllStandardError());
        QVERIFY2(log.contains(u"[MurmexUpdater] cambio de versión en marcha"_s), qPrintable(log));
    }

    // The job has finished: its definition and script are gone, and so is every copy it made.
    bool jobFinished() const
    {
        const QStringList left = QDir(QFileInfo(installed).path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        return !QFileInfo::exists(UpdateFiles::jobDefinitionPath(updates)) && QDir(updates).entryList({u"apply-update-*"_s}).isEmpty()
            && left == QStringList{u"murmex"_s};
    }

    void stopInstalledMurmex()
    {
        for (const qint64 pid : processesRunning(installed + u"/bin/murmex"_s))
            ::kill(pid_t(pid), SIGTERM);
        QTRY_VERIFY_WITH_TIMEOUT(processesRunning(installed + u"/bin/murmex"_s).isEmpty(), 15'000);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(scratch.isValid());
        server.Get("/murmex-update.json", [this](const httplib::Request &, httplib::Response &response) {
            response.set_content(feed.toStdString(), "application/json");
        });
        server.Get(('/' + trust.archiveFileName(u"0.1.1"_s)).toStdString(), [this](const httplib::Request &, httplib::Response &response) {
            response.set_content(archive.toStdString(), "application/zip");
        });
        QVERIFY2(server.bind_to_port("127.0.0.1", trust.feedPort), "the test feed's port is taken");
        serverThread = std::thread([this] { server.listen_after_bind(); });
    }

    void cleanupTestCase()
    {
        server.stop();
        serverThread.join();
    }

    void cleanup()
    {
        stopInstalledMurmex();
    }

    // The new version starts, confirms, and is all that is left.
    void goodUpdateIsSwappedIn()
    {
        install();
        publish(variant);
        runUntilHandedOver();
        QTRY_VERIFY_WITH_TIMEOUT(jobFinished(), swapBound);
        QCOMPARE(bundleVersion(installed), u"0.1.1"_s);
        QCOMPARE(processesRunning(installed + u"/bin/murmex"_s).size(), 1);
        QCOMPARE(QDir(updates).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
    }

    // A new version that ends at once never confirms: the old one is back, running, and the update
    // waits as pending for a later attempt.
    void failedStartRollsBack()
    {
        install();
        publish(u"/bin/false"_s);
        runUntilHandedOver();
        QTRY_VERIFY_WITH_TIMEOUT(jobFinished(), swapBound);
        QCOMPARE(bundleVersion(installed), u"0.1.0"_s);
        QTRY_COMPARE_WITH_TIMEOUT(processesRunning(installed + u"/bin/murmex"_s).size(), 1, 15'000);
        QVERIFY(UpdateFiles::readPendingNote(updates).has_value());
    }
};

QTEST_GUILESS_MAIN(UpdateSwapTest)
#include "UpdateSwapTest.moc"
