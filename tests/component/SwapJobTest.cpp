// The swap job on real processes: fake bundles (bundle.json, libexec/murmex-exchange from the
// build, and a bin/murmex that records its start and acknowledges, stays silent or crashes as told),
// installed in $HOME/.local/opt/murmex of a temporary HOME per case, and the job run detached by
// setsid as on a machine without a user service manager.

#include "UpdateArchive.h"
#include "updates/SwapJob.h"
#include "updates/UpdateFiles.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <signal.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <vector>

using namespace Qt::StringLiterals;
using UpdateArchive::readFile;
using UpdateArchive::writeFile;

namespace {

const QString oldVersion = u"1.0.0"_s, newVersion = u"2.0.0"_s;
const char originAttribute[] = "user.xdg.origin.url";
const auto ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;

// A bundle as the job sees it, its bin/murmex the test's stand-in told what to do by fake-mode.
bool makeBundle(const QString &root, const QString &version, const QByteArray &mode)
{
    const QJsonObject info{{u"identifier"_s, u"com.tarvo.murmex"_s}, {u"version"_s, version}, {u"executable"_s, u"murmex"_s}};
    if (!writeFile(root + u"/bundle.json"_s, QJsonDocument(info).toJson(QJsonDocument::Compact)) || !writeFile(root + u"/fake-mode"_s, mode)
        || !writeFile(root + u"/share/murmex/resource"_s, version.toUtf8()) || !QDir().mkpath(root + u"/bin"_s) || !QDir().mkpath(root + u"/libexec"_s))
        return false;
    for (const auto &[from, to] : {std::pair{MURMEX_SWAP_FAKE, "/bin/murmex"}, std::pair{MURMEX_EXCHANGE, "/libexec/murmex-exchange"}})
        if (!QFile::copy(QString::fromUtf8(from), root + QLatin1String(to)) || !QFile::setPermissions(root + QLatin1String(to), ownerOnly))
            return false;
    return true;
}

bool isWholeBundle(const QString &root)
{
    return QFileInfo(root + u"/bundle.json"_s).isFile() && QFileInfo(root + u"/bin/murmex"_s).isExecutable()
        && QFileInfo(root + u"/share/murmex/resource"_s).isFile();
}

QString versionAt(const QString &root)
{
    return QJsonDocument::fromJson(readFile(root + u"/bundle.json"_s))[u"version"_s].toString();
}

// Exists and has not ended (one ended but not reaped yet, state Z, is over), in `group` when given.
bool running(qint64 pid, qint64 group = 0)
{
    const QByteArray stat = readFile(u"/proc/%1/stat"_s.arg(pid));
    const qsizetype end = stat.lastIndexOf(") "); // the end of the command name, which may hold either
    const QList<QByteArray> fields = stat.mid(end + 2).split(' ');
    return end > 0 && fields.size() > 2 && !QByteArray("ZX").contains(fields[0].left(1)) && (group == 0 || fields[2].toLongLong() == group);
}
bool groupRunning(qint64 group)
{
    const QStringList pids = QDir(u"/proc"_s).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    return std::any_of(pids.begin(), pids.end(), [group](const QString &pid) { return running(pid.toLongLong(), group); });
}

// One Murmex installation with an update waiting, in a HOME of its own.
struct Installation {
    QString home, current, updates, newApp;
    QByteArray note;
    bool originMarked = false;
    QProcess application; // stands for the Murmex that stages the swap and then quits

    QString job() const { return UpdateFiles::jobDefinitionPath(updates); }
    qint64 jobPid() const { return QJsonDocument::fromJson(readFile(job()))[u"pid"_s].toInteger(); }
    // "<version> <pid>" lines the stand-ins append as they start.
    QList<std::pair<QString, qint64>> starts() const
    {
        QList<std::pair<QString, qint64>> result;
        for (const QByteArray &line : readFile(home + u"/starts.log"_s).split('\n'))
            if (const QList<QByteArray> fields = line.split(' '); fields.size() == 2)
                result.append({QString::fromUtf8(fields[0]), fields[1].toLongLong()});
        return result;
    }
    QStringList startedVersions() const
    {
        QStringList versions;
        for (const auto &start : starts())
            versions << start.first;
        return versions;
    }
};

} // namespace

class SwapJobTest : public QObject {
    Q_OBJECT

    QTemporaryDir root_;
    const QByteArray originalHome_ = qgetenv("HOME"), originalDataHome_ = qgetenv("XDG_DATA_HOME");
    std::vector<std::unique_ptr<Installation>> installations_;

    Installation *prepare(const QString &name, const QByteArray &newMode, bool acceptedPlace)
    {
        auto installation = std::make_unique<Installation>();
        installation->home = root_.filePath(name);
        installation->current = installation->home + (acceptedPlace ? u"/.local/opt/murmex"_s : u"/Programs/murmex"_s);
        installation->updates = installation->home + u"/.local/share/Murmex/Updates"_s;
        installation->newApp = UpdateFiles::stagingFolder(installation->updates, newVersion) + u"/Murmex"_s;
        installation->note = QJsonDocument(QJsonObject{{u"version"_s, newVersion}, {u"newAppPath"_s, installation->newApp}}).toJson(QJsonDocument::Compact);
        if (!makeBundle(installation->current, oldVersion, "ack") || !makeBundle(installation->newApp, newVersion, newMode)
            || !writeFile(UpdateFiles::pendingNotePath(installation->updates), installation->note)
            || !writeFile(UpdateFiles::attemptGuardPath(installation->updates), R"({"version":"2.0.0","timestamp":1})"))
            return nullptr;
        // Where the file system keeps user attributes, the new program carries a download origin.
        const QByteArray program = QFile::encodeName(installation->newApp + u"/bin/murmex"_s);
        installation->originMarked = ::setxattr(program.constData(), originAttribute, "http://example.org/", 19, 0) == 0;
        return installations_.emplace_back(std::move(installation)).get();
    }

    // Stages the swap in the installation's environment (which the job inherits) while a stand-in
    // for Murmex runs, then lets the stand-in end as Murmex would quit.
    void stage(Installation &installation)
    {
        qputenv("HOME", QFile::encodeName(installation.home));
        qputenv("XDG_DATA_HOME", QFile::encodeName(installation.home + u"/.local/share"_s));
        installation.application.start(u"sleep"_s, {u"infinity"_s});
        QVERIFY(installation.application.waitForStarted());
        const SwapJob::Inputs inputs{installation.newApp, installation.current, installation.updates, newVersion, installation.application.processId(),
                                     InstallPlaces{u"/opt/murmex"_s, installation.home + u"/.local/opt/murmex"_s}};
        const auto runner = SwapJob::stage(inputs, SwapJob::RunnerChoice::setsidOnly);
        QVERIFY2(runner, qPrintable(runner ? QString() : runner.error().description));
        QVERIFY(QFile::exists(installation.job()));
        const QStringList scripts = QDir(installation.updates).entryList({u"apply-update-*.sh"_s});
        QCOMPARE(scripts.size(), 1);
        QCOMPARE(QFile::permissions(installation.updates + u'/' + scripts[0]) & 0x7077, QFileDevice::Permissions(0x7000)); // 0700
        installation.application.kill();
        QVERIFY(installation.application.waitForFinished());
    }

private slots:
    // Every program a case started is stopped: the stand-ins by TERM, and a job still running (after
    // a failure) with its whole process group.
    void cleanup()
    {
        for (const auto &installation : installations_) {
            if (const qint64 job = installation->jobPid(); job > 1 && groupRunning(job))
                ::kill(-pid_t(job), SIGKILL);
            for (const auto &[version, pid] : installation->starts())
                if (running(pid))
                    ::kill(pid_t(pid), SIGTERM);
        }
        for (const auto &installation : installations_)
            for (const auto &[version, pid] : installation->starts())
                QTRY_VERIFY_WITH_TIMEOUT(!running(pid), 10000);
        installations_.clear();
        qputenv("HOME", originalHome_);
        qputenv("XDG_DATA_HOME", originalDataHome_);
    }

    // One table, its cases run side by side so that the two 60 s trials without an acknowledgement
    // overlap.
    void outcomes()
    {
        enum class Outcome { installed, rolledBack, untouched };
        const struct {
            const char *home; // also the case's name
            QByteArray newMode;
            bool acceptedPlace;
            Outcome outcome;
        } cases[] = {
            {"acknowledged, with a quote and shell characters in every path: it's \"a\" $HOME `b` \\c", "ack", true, Outcome::installed},
            {"never acknowledges", "silent", true, Outcome::rolledBack},
            {"exits at once", "crash", true, Outcome::rolledBack},
            {"installed outside the accepted places", "ack", false, Outcome::untouched},
        };
        for (const auto &row : cases) {
            Installation *installation = prepare(QString::fromUtf8(row.home), row.newMode, row.acceptedPlace);
            QVERIFY2(installation, row.home);
            stage(*installation);
            if (QTest::currentTestFailed())
                return;
        }
        for (std::size_t i = 0; i < std::size(cases); ++i)
            QVERIFY2(QTest::qWaitFor([&] { return !QFile::exists(installations_[i]->job()); }, 120000), cases[i].home);

        for (std::size_t i = 0; i < std::size(cases); ++i) {
            const auto &row = cases[i];
            const Installation &installation = *installations_[i];
            const QString &current = installation.current, &updates = installation.updates;
            const QByteArray tag = QByteArray(row.home) + ", installed " + versionAt(current).toUtf8();
            const char *failed = tag.constData();
            QVERIFY2(isWholeBundle(current) && versionAt(current) == (row.outcome == Outcome::installed ? newVersion : oldVersion), failed);
            QVERIFY2(QDir(QFileInfo(current).path()).entryList({u"murmex.*"_s}, QDir::AllEntries | QDir::Hidden).isEmpty(), failed); // no copy left beside
            QVERIFY2(QDir(updates).entryList({u"apply-update-*.sh"_s}).isEmpty(), failed);
            for (const QString &trialFile : {UpdateFiles::healthRequestPath(updates, newVersion), UpdateFiles::healthAckPath(updates, newVersion), UpdateFiles::pendingNotePath(updates) + u".health-hold"_s})
                QVERIFY2(!QFile::exists(trialFile), failed);
            const auto started = installation.starts();
            if (row.outcome == Outcome::installed) {
                QVERIFY2(!QFile::exists(UpdateFiles::pendingNotePath(updates)) && !QFile::exists(UpdateFiles::attemptGuardPath(updates)), failed);
                QVERIFY2(!QFile::exists(QFileInfo(installation.newApp).path()), failed); // the staging folder
                QCOMPARE(installation.startedVersions(), QStringList{newVersion});
                QVERIFY2(running(started.constLast().second), failed);
                char value[64];
                QVERIFY2(!installation.originMarked
                             || (::getxattr(QFile::encodeName(current + u"/bin/murmex"_s).constData(), originAttribute, value, sizeof value) < 0 && errno == ENODATA),
                         failed);
                continue;
            }
            QVERIFY2(readFile(UpdateFiles::pendingNotePath(updates)) == installation.note, failed);
            QVERIFY2(isWholeBundle(installation.newApp), failed); // the update stays staged
            const QStringList expected = row.outcome == Outcome::rolledBack ? QStringList{newVersion, oldVersion} : QStringList{oldVersion};
            QTRY_COMPARE_WITH_TIMEOUT(installation.startedVersions(), expected, 10000);
            QVERIFY2(running(installation.starts().constLast().second), failed); // the old version runs again
            if (row.outcome == Outcome::rolledBack) {
                QVERIFY2(!running(started.constFirst().second), failed); // the new version was stopped
                QVERIFY2(QFile::exists(UpdateFiles::attemptGuardPath(updates)), failed);
            }
        }
    }

    void killedJobLeavesWholeBundle_data()
    {
        QTest::addColumn<QString>("pause"); // where the new bundle's exchange program holds the job
        QTest::addColumn<QString>("installedVersion");
        QTest::newRow("before the exchange") << u"before"_s << oldVersion;
        QTest::newRow("right after the exchange") << u"after"_s << newVersion;
        QTest::newRow("during the trial") << QString() << newVersion;
    }
    // The job is killed with everything it started in its session (kill -9 of the process group);
    // the installed place holds a whole bundle, old or new, whatever the moment.
    void killedJobLeavesWholeBundle()
    {
        QFETCH(QString, pause);
        QFETCH(QString, installedVersion);
        Installation *installation = prepare(u"killed-"_s + QString::fromLatin1(QTest::currentDataTag()), "silent", true);
        QVERIFY(installation);
        const QString marker = installation->home + u"/paused"_s;
        if (!pause.isEmpty()) {
            // The new bundle's exchange program, wrapped: it holds the job just before or after the
            // real exchange and says so with a marker file.
            const QString helper = installation->newApp + u"/libexec/murmex-exchange"_s;
            QByteArray wrapper = "#!/bin/sh\nreal=\"${0%/*}/murmex-exchange.real\"\n[ \"$1\" = --clear-origin ] && exec \"$real\" \"$@\"\n";
            if (pause == u"after")
                wrapper += "\"$real\" \"$@\" || exit 1\n";
            wrapper += ": >'" + QFile::encodeName(marker) + "'\nexec sleep infinity\n";
            QVERIFY(QFile::rename(helper, helper + u".real"_s) && writeFile(helper, wrapper) && QFile::setPermissions(helper, ownerOnly));
        }
        stage(*installation);
        if (QTest::currentTestFailed())
            return;
        if (pause.isEmpty())
            QTRY_COMPARE_WITH_TIMEOUT(installation->startedVersions(), QStringList{newVersion}, 30000);
        else
            QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), 30000);

        const qint64 job = installation->jobPid();
        QVERIFY(job > 1 && groupRunning(job));
        QCOMPARE(::kill(-pid_t(job), SIGKILL), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!groupRunning(job), 10000);
        QVERIFY(isWholeBundle(installation->current));
        QCOMPARE(versionAt(installation->current), installedVersion);
    }

    void refusedInputs_data()
    {
        QTest::addColumn<QString>("newApp"); // below the case's folder
        QTest::addColumn<QString>("version");
        QTest::newRow("new bundle straight in the updates folder") << u"Updates/Murmex"_s << newVersion;
        QTest::newRow("staging folder outside the updates folder") << u"Downloads/stage-2.0.0/Murmex"_s << newVersion;
        QTest::newRow("version that names another folder") << u"Updates/stage-2.0.0/Murmex"_s << u"2.0.0/../../x"_s;
    }
    // The job removes the new bundle's folder once the new version runs: what could make that folder
    // anything but a staging folder is refused before anything is written.
    void refusedInputs()
    {
        QFETCH(QString, newApp);
        QFETCH(QString, version);
        const QString folder = root_.filePath(u"refused-"_s + QString::fromLatin1(QTest::currentDataTag()));
        const SwapJob::Inputs inputs{folder + u'/' + newApp, folder + u"/.local/opt/murmex"_s, folder + u"/Updates"_s, version,
                                     QCoreApplication::applicationPid(), InstallPlaces{u"/opt/murmex"_s, folder + u"/.local/opt/murmex"_s}};
        const auto staged = SwapJob::stage(inputs, SwapJob::RunnerChoice::setsidOnly);
        QVERIFY(!staged);
        QVERIFY2(staged.error().description.startsWith(u"Cambio de versión rechazado: "_s), qPrintable(staged.error().description));
        QVERIFY(!QFileInfo::exists(folder));
    }

    void acknowledgement_data()
    {
        QTest::addColumn<bool>("requested");
        QTest::addColumn<bool>("writable");
        QTest::newRow("normal start") << false << true;
        QTest::newRow("trial requested") << true << true;
        QTest::newRow("acknowledgement cannot be written") << true << false;
    }
    // The new version's side: an acknowledgement only when asked for, and a failure said as one.
    void acknowledgement()
    {
        QFETCH(bool, requested);
        QFETCH(bool, writable);
        const QString updates = root_.filePath(u"ack-"_s + QString::fromLatin1(QTest::currentDataTag()));
        const QString ack = UpdateFiles::healthAckPath(updates, newVersion);
        // A trial run by a setsid job: nothing to stop once it ends.
        QVERIFY(writeFile(UpdateFiles::jobDefinitionPath(updates), R"({"label":"com.tarvo.murmex.update","runner":"setsid","pid":0})"));
        QVERIFY(!requested || writeFile(UpdateFiles::healthRequestPath(updates, newVersion), {}));
        QVERIFY(writable || QDir().mkpath(ack)); // a folder where the file must go

        const auto acknowledged = SwapJob::acknowledgeHealthCheck(updates, newVersion);
        QCOMPARE(acknowledged.has_value(), writable);
        if (!writable) {
            QVERIFY(!acknowledged.error().description.isEmpty());
            return;
        }
        QCOMPARE(*acknowledged, requested);
        QCOMPARE(QFile::exists(ack), requested);
        QCOMPARE(readFile(ack), requested ? QByteArray("ok") : QByteArray());
    }
};

QTEST_GUILESS_MAIN(SwapJobTest)
#include "SwapJobTest.moc"
