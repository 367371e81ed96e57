// Murmex put where it runs from: the real program started from a download folder of a fresh home
// on the headless desktop installs itself and hands over to its installed copy; the Debian package
// installs a Murmex that starts and leaves its place to the package manager.

#include "UpdateArchive.h"
#include "support/Processes.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <sys/xattr.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using UpdateArchive::readFile;
using UpdateArchive::writeFile;

namespace {

constexpr int timeout = 20000;
const QString trayLine = u"[MurmexRuntime] Icono de Murmex en la bandeja del sistema."_s;
const char originAttribute[] = "user.xdg.origin.url";

QList<qint64> processesRunning(const QString &program)
{
    QList<qint64> found;
    for (const QString &name : QDir(u"/proc"_s).entryList(QDir::Dirs))
        if (const qint64 pid = name.toLongLong(); pid > 0 && Processes::executable(pid) == program)
            found.append(pid);
    return found;
}

bool hasOriginAttribute(const QString &path)
{
    return ::lgetxattr(QFile::encodeName(path).constData(), originAttribute, nullptr, 0) >= 0 || errno != ENODATA;
}

// The program's output; its exit code in `status`, -1 when it did not end normally in time.
QString run(const QString &program, const QStringList &arguments, int *status = nullptr, int timeoutMs = timeout)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    const bool ended = process.waitForFinished(timeoutMs) && process.exitStatus() == QProcess::NormalExit;
    if (status)
        *status = ended ? process.exitCode() : -1;
    return QString::fromUtf8(process.readAll());
}

// A Murmex of a fresh home (home/, data/, config/, cache/ in `root`) on the desktop, its log
// (standard error, shared with the copies it starts) in a file.
struct Murmex {
    explicit Murmex(const QString &root, const QString &program) : root(root)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const auto &[variable, folder] : {std::pair{u"HOME"_s, u"/home"_s}, {u"XDG_DATA_HOME"_s, u"/data"_s}, {u"XDG_CONFIG_HOME"_s, u"/config"_s}, {u"XDG_CACHE_HOME"_s, u"/cache"_s}})
            environment.insert(variable, root + folder);
        environment.remove(u"MURMEX_SKIP_SELF_INSTALL"_s);
        process.setProcessEnvironment(environment);
        process.setStandardOutputFile(QProcess::nullDevice());
        process.setStandardErrorFile(root + u"/murmex.log"_s);
        process.start(program, {});
    }
    ~Murmex()
    {
        process.kill();
        process.waitForFinished(3000);
    }
    QString log() const { return QString::fromUtf8(readFile(root + u"/murmex.log"_s)); }
    bool waitForLog(const QString &text) const
    {
        return QTest::qWaitFor([&] { return log().contains(text); }, timeout);
    }

    QString root;
    QProcess process;
};

} // namespace

class SelfInstallTest : public QObject {
    Q_OBJECT

private slots:
    // Started from ~/Downloads/Murmex, a bundle that manages itself copies itself to
    // ~/.local/opt/murmex (replacing an older copy of itself, never another program), without the
    // download's marks, adds its menu entry and icon, starts the copy and ends.
    void installsItselfFromADownloadFolder_data()
    {
        QTest::addColumn<QString>("occupant"); // identifier of a bundle already in the place, or none
        QTest::addColumn<QString>("folderName"); // of the test's folder, which holds the home
        QTest::addColumn<bool>("installs");
        QTest::newRow("place free") << QString() << u"plain"_s << true;
        // The menu entry's Exec quotes and escapes such a path.
        QTest::newRow("older copy of Murmex there, home with a space and a %") << u"com.tarvo.murmex"_s << u"a b%c"_s << true;
        QTest::newRow("another program there") << u"org.example.murmex"_s << u"plain"_s << false;
    }
    void installsItselfFromADownloadFolder()
    {
        QFETCH(QString, occupant);
        QFETCH(QString, folderName);
        QFETCH(bool, installs);
        QTemporaryDir root(QDir::tempPath() + u'/' + folderName + u"-XXXXXX"_s);
        const QString downloaded = root.path() + u"/home/Downloads/Murmex"_s, parent = root.path() + u"/home/.local/opt"_s;
        const QString installed = parent + u"/murmex"_s, installedProgram = installed + u"/bin/murmex"_s;
        const auto stopCopies = qScopeGuard([&] {
            for (qint64 pid : processesRunning(installedProgram))
                ::kill(pid_t(pid), SIGTERM);
            if (!QTest::qWaitFor([&] { return processesRunning(installedProgram).isEmpty(); }, timeout))
                qWarning("the installed copy of Murmex did not end");
        });

        // The build's bundle as a download: managing itself, with the marks a browser leaves.
        QVERIFY(QDir().mkpath(downloaded + u"/.."_s));
        QCOMPARE(QProcess::execute(u"cp"_s, {u"-a"_s, u"-T"_s, qEnvironmentVariable("MURMEX_BUNDLE_DIR"), downloaded}), 0);
        QJsonObject bundle = QJsonDocument::fromJson(readFile(downloaded + u"/bundle.json"_s)).object();
        bundle.remove(u"managedBy"_s);
        QVERIFY(writeFile(downloaded + u"/bundle.json"_s, QJsonDocument(bundle).toJson()));
        for (const QString &item : {downloaded, downloaded + u"/bin/murmex"_s})
            QCOMPARE(::setxattr(QFile::encodeName(item).constData(), originAttribute, "https://example.org/m.zip", 25, 0), 0);
        const QByteArray occupantBundle = QJsonDocument(QJsonObject{{u"identifier"_s, occupant}, {u"version"_s, u"0.0.1"_s}}).toJson();
        QVERIFY(occupant.isEmpty() || (writeFile(installed + u"/bundle.json"_s, occupantBundle) && writeFile(installed + u"/left-by-occupant"_s, "x")));

        Murmex original(root.path(), downloaded + u"/bin/murmex"_s);
        QVERIFY(original.process.waitForStarted(timeout));
        const QStringList inParent = {u"murmex"_s}; // nothing else is left in ~/.local/opt
        if (!installs) {
            // One alert; once it is closed, Murmex goes on from where it was started.
            QVERIFY2(original.waitForLog(u"[MurmexAlert] No se pudo instalar Murmex — Ya existe otra aplicación llamada murmex en %1."_s.arg(parent)), qPrintable(original.log()));
            const QString alert = run(u"xdotool"_s, {u"search"_s, u"--sync"_s, u"--pid"_s, QString::number(original.process.processId()), u"--name"_s, u"^Murmex$"_s}).trimmed();
            QVERIFY2(!alert.isEmpty(), "no alert window");
            run(u"xdotool"_s, {u"windowactivate"_s, u"--sync"_s, alert.section(u'\n', 0, 0), u"key"_s, u"Return"_s});
            QVERIFY2(original.waitForLog(trayLine), qPrintable(original.log()));
            QCOMPARE(original.process.state(), QProcess::Running);
            QCOMPARE(original.log().count(u"[MurmexAlert]"_s), 1);
            QCOMPARE(readFile(installed + u"/bundle.json"_s), occupantBundle);
            QVERIFY(QFile::exists(installed + u"/left-by-occupant"_s));
            QCOMPARE(QDir(parent).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), inParent);
            QVERIFY(processesRunning(installedProgram).isEmpty());
            return;
        }

        // The copy runs and has the tray (so it holds the single-instance claim); the original ended.
        QVERIFY2(QTest::qWaitFor([&] { return !processesRunning(installedProgram).isEmpty(); }, timeout), qPrintable(original.log()));
        QVERIFY2(original.process.waitForFinished(timeout), qPrintable(original.log()));
        QCOMPARE(original.process.exitCode(), 0);
        QVERIFY2(original.waitForLog(trayLine), qPrintable(original.log()));
        QVERIFY2(!original.log().contains(u"Murmex ya está abierto"_s), qPrintable(original.log()));
        // The original's orderly end leaves the copy's runtime state alone.
        QVERIFY(QFile::exists(root.path() + u"/data/Murmex/runtime-state.json"_s));

        QCOMPARE(readFile(installed + u"/bundle.json"_s), readFile(downloaded + u"/bundle.json"_s));
        QVERIFY(!QFile::exists(installed + u"/left-by-occupant"_s));
        QCOMPARE(QDir(parent).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), inParent);
        QVERIFY(!hasOriginAttribute(installed) && !hasOriginAttribute(installedProgram));
        QVERIFY(hasOriginAttribute(downloaded)); // the download itself is left as it was

        const QString entry = root.path() + u"/data/applications/murmex.desktop"_s;
        int status = -1;
        const QString validation = run(u"desktop-file-validate"_s, {entry}, &status);
        QVERIFY2(status == 0, qPrintable(validation));
        const QString exec = installedProgram.contains(u' ') ? u"\"%1\""_s.arg(installedProgram).replace(u"%"_s, u"%%"_s) : installedProgram;
        QVERIFY2(readFile(entry).contains(u"\nExec=%1\n"_s.arg(exec).toUtf8()), readFile(entry).constData());
        QVERIFY(QFileInfo(root.path() + u"/data/icons/hicolor/scalable/apps/murmex.svg"_s).size() > 0);
    }

    // The Debian package: what it holds and depends on, and, where this test may install it (as
    // root), a Murmex in /opt/murmex that starts on the desktop and does not install itself again.
    void debianPackageInstallsAMurmexThatStarts()
    {
        QTemporaryDir out;
        int status = -1;
        const QString packaging = run(QStringLiteral(MURMEX_SOURCE_DIR "/scripts/package"), {u"--build-dir"_s, QStringLiteral(MURMEX_BINARY_DIR), u"--out"_s, out.path()}, &status, 300000);
        QVERIFY2(status == 0, qPrintable(packaging));
        QVERIFY2(packaging.contains(u"the update archive is skipped"_s), qPrintable(packaging));
        const QStringList debs = QDir(out.path()).entryList({u"murmex_*.deb"_s});
        QCOMPARE(debs.size(), 1);
        const QString deb = out.filePath(debs.first());

        const QString depends = run(u"dpkg-deb"_s, {u"-f"_s, deb, u"Depends"_s});
        QVERIFY2(depends.contains(u"libqt6widgets6"_s) && depends.contains(u"curl"_s) && !depends.contains(u"-dev"_s), qPrintable(depends));
        const QString contents = run(u"dpkg-deb"_s, {u"-c"_s, deb});
        for (const QString &path : {u"./opt/murmex/bundle.json"_s, u"./opt/murmex/bin/murmex"_s, u"./opt/murmex/libexec/chimelet"_s, u"./opt/murmex/share/murmex/Murmex.svg"_s,
                                    u"./usr/share/applications/murmex.desktop"_s, u"./usr/share/icons/hicolor/scalable/apps/murmex.svg"_s})
            QVERIFY2(contents.contains(u' ' + path + u'\n'), qPrintable(path + u" missing from:\n"_s + contents));

        if (::geteuid() != 0)
            QSKIP("Installing the package needs root; its contents and dependencies were checked.");
        run(u"dpkg"_s, {u"-s"_s, u"murmex"_s}, &status);
        if (status == 0)
            QSKIP("A murmex package is installed on this machine; a test does not replace it.");
        const auto removePackage = qScopeGuard([] { run(u"dpkg"_s, {u"-r"_s, u"murmex"_s}, nullptr, 120000); });
        const QString installing = run(u"dpkg"_s, {u"-i"_s, deb}, &status, 120000);
        QVERIFY2(status == 0, qPrintable(installing));
        QCOMPARE(QJsonDocument::fromJson(readFile(u"/opt/murmex/bundle.json"_s))[u"managedBy"_s].toString(), u"package-manager"_s);
        const QString validation = run(u"desktop-file-validate"_s, {u"/usr/share/applications/murmex.desktop"_s}, &status);
        QVERIFY2(status == 0, qPrintable(validation));

        QTemporaryDir root;
        Murmex murmex(root.path(), u"/opt/murmex/bin/murmex"_s);
        QVERIFY2(murmex.waitForLog(trayLine), qPrintable(murmex.log()));
        QVERIFY2(murmex.log().contains(u"[MurmexUpdater] comprobación omitida: el gestor de paquetes actualiza esta instalación"_s), qPrintable(murmex.log()));
        QCOMPARE(processesRunning(u"/opt/murmex/bin/murmex"_s), QList<qint64>{murmex.process.processId()});
        QVERIFY(!QFileInfo::exists(root.path() + u"/home/.local/opt/murmex"_s));
        murmex.process.terminate();
        QVERIFY(murmex.process.waitForFinished(timeout));
    }
};

QTEST_GUILESS_MAIN(SelfInstallTest)
#include "SelfInstallTest.moc"
