// The swap job on real processes: fake bundles (bundle.json, libexec/murmex-exchange from the
// build, and a bin/murmex that records its start and acknowledges, stays silent or crashes as told),
// installed in $HOME/.local/opt/murmex of a temporary HOME per case, and the job run detached by
// setsid as on a machine without a user service manager.

#include "updates/SwapJob.h"
#include "updates/UpdateFiles.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <signal.h>
#include <sys/xattr.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace {

const QString oldVersion = QStringLiteral("1.0.0");
const QString newVersion = QStringLiteral("2.0.0");
const char originAttribute[] = "user.xdg.origin.url";

bool writeFile(const QString &path, const QByteArray &bytes, QFileDevice::Permissions permissions = {})
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        return false;
    return !permissions || file.setPermissions(permissions);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A bundle as the job sees it, its bin/murmex the test's stand-in told what to do by fake-mode.
bool makeBundle(const QString &root, const QString &version, const QByteArray &mode)
{
    const auto executable = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
    const QJsonObject info{{QStringLiteral("identifier"), QStringLiteral("com.tarvo.murmex")},
                           {QStringLiteral("version"), version},
                           {QStringLiteral("executable"), QStringLiteral("murmex")}};
    return QDir().mkpath(root + QStringLiteral("/bin")) && QDir().mkpath(root + QStringLiteral("/libexec"))
        && QDir().mkpath(root + QStringLiteral("/share/murmex"))
        && writeFile(root + QStringLiteral("/bundle.json"), QJsonDocument(info).toJson(QJsonDocument::Compact))
        && writeFile(root + QStringLiteral("/fake-mode"), mode + '\n')
        && writeFile(root + QStringLiteral("/share/murmex/resource"), version.toUtf8())
        && QFile::copy(QStringLiteral(MURMEX_SWAP_FAKE), root + QStringLiteral("/bin/murmex"))
        && QFile::setPermissions(root + QStringLiteral("/bin/murmex"), executable)
        && QFile::copy(QStringLiteral(MURMEX_EXCHANGE), root + QStringLiteral("/libexec/murmex-exchange"))
        && QFile::setPermissions(root + QStringLiteral("/libexec/murmex-exchange"), executable);
}

bool isWholeBundle(const QString &root)
{
    return QFileInfo(root + QStringLiteral("/bundle.json")).isFile() && QFileInfo(root + QStringLiteral("/bin/murmex")).isExecutable()
        && QFileInfo(root + QStringLiteral("/share/murmex/resource")).isFile();
}

QString versionAt(const QString &root)
{
    return QJsonDocument::fromJson(readFile(root + QStringLiteral("/bundle.json"))).object().value(QLatin1String("version")).toString();
}

// The state letter and process group from /proc/PID/stat; none when the process is gone.
std::optional<std::pair<char, qint64>> processState(const QString &pid)
{
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const qsizetype end = stat.lastIndexOf(") ");
    if (end < 0)
        return std::nullopt;
    const QList<QByteArray> fields = stat.mid(end + 2).split(' ');
    if (fields.size() < 3 || fields[0].isEmpty())
        return std::nullopt;
    return std::pair{fields[0][0], fields[2].toLongLong()};
}

// Exists and has not ended: one that ended but was not reaped yet (state Z) is over.
bool running(qint64 pid)
{
    const auto state = processState(QString::number(pid));
    return state && state->first != 'Z' && state->first != 'X';
}

// Polls the condition until it holds or the time is up, without QTRY's extra rounds after a
// failure (the swap's waits are long).
template <typename Condition>
bool waitUntil(Condition condition, int milliseconds)
{
    QDeadlineTimer deadline(milliseconds);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(100);
    }
    return true;
}

bool groupRunning(qint64 group)
{
    for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const auto state = processState(pid);
        if (state && state->second == group && state->first != 'Z' && state->first != 'X')
            return true;
    }
    return false;
}

} // namespace

class SwapJobTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void cleanupTestCase();
    void outcomes();
    void killedJobLeavesWholeBundle_data();
    void killedJobLeavesWholeBundle();
    void refusedInputs_data();
    void refusedInputs();
    void acknowledgement_data();
    void acknowledgement();

private:
    // One Murmex installation with an update waiting, in a HOME of its own.
    struct Installation {
        QString name;
        QString home;
        QString current;
        QString updates;
        QString newApp;
        QByteArray note;
        bool originMarked = false;
        QProcess application; // stands for the Murmex that stages the swap and then quits
        [[nodiscard]] QString job() const { return UpdateFiles::jobDefinitionPath(updates); }
        [[nodiscard]] QString request() const { return UpdateFiles::healthRequestPath(updates, newVersion); }
    };

    std::unique_ptr<Installation> prepare(const QString &name, const QByteArray &newMode, bool acceptedPlace);
    void stage(Installation &installation);
    static QList<std::pair<QString, qint64>> starts(const Installation &installation);
    static QStringList startedVersions(const Installation &installation);

    QTemporaryDir root_;
    QByteArray originalHome_;
    QByteArray originalDataHome_;
    std::vector<std::unique_ptr<Installation>> installations_;
};

void SwapJobTest::initTestCase()
{
    QVERIFY(root_.isValid());
    originalHome_ = qgetenv("HOME");
    originalDataHome_ = qgetenv("XDG_DATA_HOME");
}

// Every program a case started is stopped: the stand-ins by TERM, and a job still running (after a
// failure) with its whole process group.
void SwapJobTest::cleanup()
{
    for (const auto &installation : installations_) {
        const qint64 job = QJsonDocument::fromJson(readFile(installation->job())).object().value(QLatin1String("pid")).toInteger();
        if (job > 1 && groupRunning(job))
            ::kill(-pid_t(job), SIGKILL);
        for (const auto &[version, pid] : starts(*installation))
            if (running(pid))
                ::kill(pid_t(pid), SIGTERM);
    }
    for (const auto &installation : installations_)
        for (const auto &[version, pid] : starts(*installation))
            QTRY_VERIFY_WITH_TIMEOUT(!running(pid), 10000);
    installations_.clear();
    qputenv("HOME", originalHome_);
    qputenv("XDG_DATA_HOME", originalDataHome_);
}

void SwapJobTest::cleanupTestCase()
{
    cleanup();
}

std::unique_ptr<SwapJobTest::Installation> SwapJobTest::prepare(const QString &name, const QByteArray &newMode, bool acceptedPlace)
{
    auto installation = std::make_unique<Installation>();
    installation->name = name;
    installation->home = root_.filePath(name);
    installation->current = installation->home + (acceptedPlace ? QStringLiteral("/.local/opt/murmex") : QStringLiteral("/Programs/murmex"));
    installation->updates = installation->home + QStringLiteral("/.local/share/Murmex/Updates");
    installation->newApp = UpdateFiles::stagingFolder(installation->updates, newVersion) + QStringLiteral("/Murmex");
    const QJsonObject note{{QStringLiteral("version"), newVersion}, {QStringLiteral("newAppPath"), installation->newApp}};
    installation->note = QJsonDocument(note).toJson(QJsonDocument::Compact);
    if (!makeBundle(installation->current, oldVersion, "ack") || !makeBundle(installation->newApp, newVersion, newMode)
        || !writeFile(UpdateFiles::pendingNotePath(installation->updates), installation->note)
        || !writeFile(UpdateFiles::attemptGuardPath(installation->updates), R"({"version":"2.0.0","timestamp":1}))"))
        return nullptr;
    // Where the file system keeps user attributes, the new program carries a download origin.
    const QByteArray program = QFile::encodeName(installation->newApp + QStringLiteral("/bin/murmex"));
    installation->originMarked = ::setxattr(program.constData(), originAttribute, "http://example.org/", 19, 0) == 0;
    return installation;
}

// Stages the swap in the installation's environment (which the job inherits) while a stand-in for
// Murmex runs, then lets the stand-in end as Murmex would quit.
void SwapJobTest::stage(Installation &installation)
{
    qputenv("HOME", QFile::encodeName(installation.home));
    qputenv("XDG_DATA_HOME", QFile::encodeName(installation.home + QStringLiteral("/.local/share")));
    installation.application.start(QStringLiteral("sleep"), {QStringLiteral("infinity")});
    QVERIFY(installation.application.waitForStarted());
    const SwapJob::Inputs inputs{installation.newApp, installation.current, installation.updates, newVersion,
                                 installation.application.processId(),
                                 InstallPlaces{QStringLiteral("/opt/murmex"), installation.home + QStringLiteral("/.local/opt/murmex")}};
    const auto runner = SwapJob::stage(inputs, SwapJob::RunnerChoice::setsidOnly);
    QVERIFY2(runner, qPrintable(runner ? QString() : runner.error().description));
    QCOMPARE(*runner, SwapJob::Runner::setsid);
    QVERIFY(QFile::exists(installation.job()));
    const QStringList scripts = QDir(installation.updates).entryList({QStringLiteral("apply-update-*.sh")});
    QCOMPARE(scripts.size(), 1);
    QCOMPARE(QFileInfo(installation.updates + QLatin1Char('/') + scripts[0]).permissions() & 0x7777,
             QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner | QFileDevice::ReadUser | QFileDevice::WriteUser
                 | QFileDevice::ExeUser);
    installation.application.kill();
    QVERIFY(installation.application.waitForFinished());
}

QList<std::pair<QString, qint64>> SwapJobTest::starts(const Installation &installation)
{
    QList<std::pair<QString, qint64>> result;
    for (const QByteArray &line : readFile(installation.home + QStringLiteral("/starts.log")).split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() == 2)
            result.append({QString::fromUtf8(fields[0]), fields[1].toLongLong()});
    }
    return result;
}

QStringList SwapJobTest::startedVersions(const Installation &installation)
{
    QStringList versions;
    for (const auto &[version, pid] : starts(installation))
        versions << version;
    return versions;
}

// One table, its cases run side by side so that the two 60 s trials without an acknowledgement
// overlap.
void SwapJobTest::outcomes()
{
    enum class Outcome { installed, rolledBack, untouched };
    struct Case {
        const char *name;
        const char *home;
        QByteArray newMode;
        bool acceptedPlace;
        Outcome outcome;
    };
    const Case cases[] = {
        {"acknowledged, with a quote and shell characters in every path", "it's \"a\" $HOME `b` \\c", "ack", true, Outcome::installed},
        {"never acknowledges", "silent", "silent", true, Outcome::rolledBack},
        {"exits at once", "crash", "crash", true, Outcome::rolledBack},
        {"installed outside the accepted places", "elsewhere", "ack", false, Outcome::untouched},
    };
    for (const Case &row : cases) {
        auto installation = prepare(QString::fromUtf8(row.home), row.newMode, row.acceptedPlace);
        QVERIFY2(installation, row.name);
        installation->name = QString::fromUtf8(row.name);
        stage(*installation);
        installations_.push_back(std::move(installation));
        if (QTest::currentTestFailed())
            return;
    }
    for (const auto &installation : installations_)
        QVERIFY2(waitUntil([&] { return !QFile::exists(installation->job()); }, 120000), qPrintable(installation->name));

    for (std::size_t index = 0; index < installations_.size(); ++index) {
        const Case &row = cases[index];
        const Installation &installation = *installations_[index];
        const QString current = installation.current;
        const QString updates = installation.updates;
        const auto failed = [&](const char *what) { return QStringLiteral("%1: %2").arg(installation.name, QLatin1String(what)).toUtf8(); };

        QVERIFY2(isWholeBundle(current), failed("the installed bundle is whole").constData());
        QVERIFY2(versionAt(current) == (row.outcome == Outcome::installed ? newVersion : oldVersion),
                 failed("installed version ").append(versionAt(current).toUtf8()).constData());
        QVERIFY2(QDir(QFileInfo(current).path()).entryList({QStringLiteral("murmex.*")}, QDir::AllEntries | QDir::Hidden).isEmpty(),
                 failed("no copy is left beside the installed bundle").constData());
        QVERIFY2(QDir(updates).entryList({QStringLiteral("apply-update-*.sh")}).isEmpty(), failed("the script removed itself").constData());
        for (const QString &file : {installation.request(), UpdateFiles::healthAckPath(updates, newVersion),
                                    UpdateFiles::pendingNotePath(updates) + QStringLiteral(".health-hold")})
            QVERIFY2(!QFile::exists(file), failed("the trial's files are gone").constData());

        if (row.outcome == Outcome::installed) {
            QVERIFY2(!QFile::exists(UpdateFiles::pendingNotePath(updates)) && !QFile::exists(UpdateFiles::attemptGuardPath(updates)),
                     failed("note and guard removed").constData());
            QVERIFY2(!QFile::exists(QFileInfo(installation.newApp).path()), failed("staging folder removed").constData());
            QCOMPARE(startedVersions(installation), QStringList{newVersion});
            QVERIFY2(running(starts(installation).constLast().second), failed("the new version runs").constData());
            if (installation.originMarked) {
                const QByteArray program = QFile::encodeName(current + QStringLiteral("/bin/murmex"));
                char value[64];
                QVERIFY2(::getxattr(program.constData(), originAttribute, value, sizeof value) < 0 && errno == ENODATA,
                         failed("download origin cleared").constData());
            }
            continue;
        }
        QCOMPARE(readFile(UpdateFiles::pendingNotePath(updates)), installation.note);
        QVERIFY2(isWholeBundle(installation.newApp), failed("the update stays staged").constData());
        const QStringList expected = row.outcome == Outcome::rolledBack ? QStringList{newVersion, oldVersion} : QStringList{oldVersion};
        QTRY_COMPARE_WITH_TIMEOUT(startedVersions(installation), expected, 10000);
        const auto started = starts(installation);
        QVERIFY2(running(started.constLast().second), failed("the old version runs again").constData());
        if (row.outcome == Outcome::rolledBack) {
            QVERIFY2(!running(started.constFirst().second), failed("the new version was stopped").constData());
            QVERIFY2(QFile::exists(UpdateFiles::attemptGuardPath(updates)), failed("the attempt guard stays").constData());
        }
    }
}

void SwapJobTest::killedJobLeavesWholeBundle_data()
{
    QTest::addColumn<QString>("pause"); // where the new bundle's exchange program holds the job
    QTest::addColumn<QString>("installedVersion");
    QTest::newRow("before the exchange") << "before" << oldVersion;
    QTest::newRow("right after the exchange") << "after" << newVersion;
    QTest::newRow("during the trial") << QString() << newVersion;
}

// The job is killed with everything it started in its session (kill -9 of the process group); the
// installed place holds a whole bundle, old or new, whatever the moment.
void SwapJobTest::killedJobLeavesWholeBundle()
{
    QFETCH(QString, pause);
    QFETCH(QString, installedVersion);
    auto prepared = prepare(QStringLiteral("killed-") + QString::fromLatin1(QTest::currentDataTag()).replace(QLatin1Char(' '), QLatin1Char('-')),
                            "silent", true);
    QVERIFY(prepared);
    Installation &installation = *installations_.emplace_back(std::move(prepared));
    const QString marker = installation.home + QStringLiteral("/paused");
    if (!pause.isEmpty()) {
        // The new bundle's exchange program, wrapped: it holds the job just before or after the
        // real exchange and says so with a marker file.
        const QString helper = installation.newApp + QStringLiteral("/libexec/murmex-exchange");
        QVERIFY(QFile::rename(helper, helper + QStringLiteral(".real")));
        QByteArray wrapper = "#!/bin/sh\nreal=\"${0%/*}/murmex-exchange.real\"\n[ \"$1\" = --clear-origin ] && exec \"$real\" \"$@\"\n";
        if (pause == QLatin1String("after"))
            wrapper += "\"$real\" \"$@\" || exit 1\n";
        wrapper += ": >'" + QFile::encodeName(marker) + "'\nexec sleep infinity\n";
        QVERIFY(writeFile(helper, wrapper, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    }
    stage(installation);
    if (QTest::currentTestFailed())
        return;
    if (pause.isEmpty())
        QTRY_COMPARE_WITH_TIMEOUT(startedVersions(installation), QStringList{newVersion}, 30000);
    else
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), 30000);

    const qint64 job = QJsonDocument::fromJson(readFile(installation.job())).object().value(QLatin1String("pid")).toInteger();
    QVERIFY(job > 1 && groupRunning(job));
    QCOMPARE(::kill(-pid_t(job), SIGKILL), 0);
    QTRY_VERIFY_WITH_TIMEOUT(!groupRunning(job), 10000);

    QVERIFY(isWholeBundle(installation.current));
    QCOMPARE(versionAt(installation.current), installedVersion);
}

void SwapJobTest::refusedInputs_data()
{
    QTest::addColumn<QString>("newApp"); // below the case's folder
    QTest::addColumn<QString>("version");
    QTest::newRow("new bundle straight in the updates folder") << "Updates/Murmex" << newVersion;
    QTest::newRow("staging folder outside the updates folder") << "Downloads/stage-2.0.0/Murmex" << newVersion;
    QTest::newRow("version that names another folder") << "Updates/stage-2.0.0/Murmex" << "2.0.0/../../x";
}

// The job removes the new bundle's folder once the new version runs: what could make that folder
// anything but a staging folder is refused before anything is written.
void SwapJobTest::refusedInputs()
{
    QFETCH(QString, newApp);
    QFETCH(QString, version);
    const QString folder = root_.filePath(QStringLiteral("refused-") + QString::fromLatin1(QTest::currentDataTag()));
    const SwapJob::Inputs inputs{folder + QLatin1Char('/') + newApp, folder + QStringLiteral("/.local/opt/murmex"), folder + QStringLiteral("/Updates"),
                                 version, qint64(QCoreApplication::applicationPid()),
                                 InstallPlaces{QStringLiteral("/opt/murmex"), folder + QStringLiteral("/.local/opt/murmex")}};
    const auto staged = SwapJob::stage(inputs, SwapJob::RunnerChoice::setsidOnly);
    QVERIFY(!staged);
    QVERIFY2(staged.error().description.startsWith(QStringLiteral("Cambio de versión rechazado: ")), qPrintable(staged.error().description));
    QVERIFY(!QFileInfo::exists(folder));
}

void SwapJobTest::acknowledgement_data()
{
    QTest::addColumn<bool>("requested");
    QTest::addColumn<bool>("writable");
    QTest::newRow("normal start") << false << true;
    QTest::newRow("trial requested") << true << true;
    QTest::newRow("acknowledgement cannot be written") << true << false;
}

// The new version's side: an acknowledgement only when asked for, and a failure said as one.
void SwapJobTest::acknowledgement()
{
    QFETCH(bool, requested);
    QFETCH(bool, writable);
    const QString updates = root_.filePath(QStringLiteral("ack-") + QString::fromLatin1(QTest::currentDataTag()));
    const QString ack = UpdateFiles::healthAckPath(updates, newVersion);
    QVERIFY(QDir().mkpath(updates));
    // A trial run by a setsid job: nothing to stop once it ends.
    QVERIFY(writeFile(UpdateFiles::jobDefinitionPath(updates), R"({"label":"com.tarvo.murmex.update","runner":"setsid","pid":0})"));
    if (requested)
        QVERIFY(writeFile(UpdateFiles::healthRequestPath(updates, newVersion), {}));
    if (!writable)
        QVERIFY(QDir().mkpath(ack)); // a folder where the file must go

    const auto acknowledged = SwapJob::acknowledgeHealthCheck(updates, newVersion);
    QCOMPARE(acknowledged.has_value(), writable);
    if (!writable) {
        QVERIFY(!acknowledged.error().description.isEmpty());
        return;
    }
    QCOMPARE(*acknowledged, requested);
    QCOMPARE(readFile(ack), requested ? QByteArray("ok") : QByteArray());
    QCOMPARE(QFile::exists(ack), requested);
}

QTEST_GUILESS_MAIN(SwapJobTest)
#include "SwapJobTest.moc"
