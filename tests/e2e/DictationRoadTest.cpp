// The whole road as a person takes it: Murmex running in the tray of the headless desktop, a text
// field focused in another program, the shortcut pressed with xdotool, speech played into the
// virtual microphone, the shortcut pressed again — and the text arriving in that field, once.

#include "insertion/PasteAtCursor.h"

#include <QDir>
#include <QDirIterator>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <mutex>
#include <sys/stat.h>
#include <thread>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr int timeout = 20000;
const QString source = QStringLiteral(MURMEX_SOURCE_DIR);
const QString build = QStringLiteral(MURMEX_BINARY_DIR);
const QString dataRoot = qEnvironmentVariable("XDG_DATA_HOME") + u"/Murmex"_s;
const QString stateFile = dataRoot + u"/runtime-state.json"_s;
const QString settingsFile = qEnvironmentVariable("XDG_CONFIG_HOME") + u"/Tarvo/Murmex.conf"_s;
const QString shortcut = u"ctrl+alt+super+d"_s;

QString readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
}

bool xdotool(const QStringList &arguments)
{
    return QProcess::execute(u"xdotool"_s, arguments) == 0;
}

bool speak(const QString &text)
{
    return QProcess::execute(source + u"/tests/harness/desktop"_s, {u"speak"_s, qEnvironmentVariable("MURMEX_DESKTOP_DIR"), text}) == 0;
}

// Every state the runtime state file shows, in order, read every millisecond on a thread of its
// own ("starting" lasts only a few milliseconds).
struct StateWatcher {
    QStringList states()
    {
        std::lock_guard lock(mutex);
        return seen;
    }

    std::mutex mutex;
    QStringList seen;
    std::jthread worker{[this](std::stop_token stop) {
        while (!stop.stop_requested()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            const QString state = QJsonDocument::fromJson(readFile(stateFile).toUtf8())[u"state"_s].toString();
            std::lock_guard lock(mutex);
            if (!state.isEmpty() && state != seen.value(seen.size() - 1))
                seen.append(state);
        }
    }};
};

// One dictation's road: the target program (its window title and command line), the engine
// double's delay and transcript, what comes first, and the text that arrives.
struct Road {
    QString title = u"Murmex target"_s;
    QStringList command = {build + u"/tests/harness/target/murmex-target"_s};
    int engineDelayMs = 0;
    bool escapedBefore = false; // a dictation given up with Escape comes first
    bool heldStart = false;     // the press that starts it is held past the key's auto-repeat delay
    bool pushToTalk = false;    // the shortcut is held while speaking and released to end
    QString transcript = u"[Música] hola desde murmex, que tal"_s;
    QString expected = u"hola desde Murmex, qué tal"_s;
};

} // namespace

Q_DECLARE_METATYPE(Road)

class DictationRoadTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        ::umask(022); // a desktop's usual mask, which Murmex inherits; its files stay private anyway
        // The engine double stands in for whisper.cpp; its models only need to exist.
        writeFile(dataRoot + u"/Models/ggml-base.bin"_s, "model");
        writeFile(dataRoot + u"/Models/ggml-silero-v6.2.0.bin"_s, "model");
        writeFile(dataRoot + u"/Dictionaries/es.json"_s, R"([{"replacement": "Murmex", "source": "murmex"}, {"replacement": "qué tal", "source": "que tal"}])");
    }

    void cleanup()
    {
        QFile::remove(settingsFile);
        watcher.reset();
        target.terminate();
        target.waitForFinished(3000);
        if (murmex.state() != QProcess::NotRunning)
            quitMurmex();
    }

    // Each target shows one focused text field and writes what it holds to the file named last on
    // its command line. The terminal is one of its own with cat in a raw terminal: every byte it
    // receives, a stray arrow key's escape sequence or a literal ^V included, goes to the file at
    // once. There the engine writes control characters too (the end of a bracketed paste, Ctrl-O,
    // a C1 control, a line separator, a tab, a line break): none of them reaches the terminal.
    void dictationArrivesOnce_data()
    {
        QTest::addColumn<Road>("road");
        const QString terminal = u"Murmex terminal target"_s;
        QTest::newRow("Qt field, engine answers at once") << Road{};
        QTest::newRow("Qt field, engine takes 300 ms, after an Escape") << Road{.engineDelayMs = 300, .escapedBefore = true};
        QTest::newRow("Qt field, push-to-talk") << Road{.pushToTalk = true};
        QTest::newRow("GTK entry, start press held")
            << Road{.title = u"Murmex GTK target"_s, .command = {u"/usr/bin/python3"_s, source + u"/tests/harness/gtk-target"_s}, .heldStart = true};
        QTest::newRow("GTK terminal running cat, controls in the transcript")
            << Road{.title = terminal,
                    .command = {u"lxterminal"_s, u"--no-remote"_s, u"--title"_s, terminal, u"-e"_s, u"sh"_s, u"-c"_s, u"stty raw -echo && exec cat > \"$0\""_s},
                    .transcript = u"[Música] hola\x1b[201~\x0f desde\u202E murmex,\u2028\u009B que\ttal\r\n"_s,
                    .expected = u"hola[201~ desde Murmex, qué tal"_s};
    }

    void dictationArrivesOnce()
    {
        QFETCH(Road, road);
        start(road);
        if (QTest::currentTestFailed())
            return;
        QStringList expectedStates{u"idle"_s};
        if (road.escapedBefore) {
            QVERIFY(pressShortcut() && waitForState(u"recording"_s));
            QVERIFY(speak(u"Esto no se escribe."_s));
            QVERIFY(xdotool({u"key"_s, u"Escape"_s}) && waitForState(u"idle"_s));
            QTRY_VERIFY_WITH_TIMEOUT(recordingFolders().isEmpty(), timeout);
            expectedStates << u"starting"_s << u"recording"_s << u"idle"_s;
        }

        QVERIFY(focusTarget());
        const qsizetype logBefore = log().size();
        QVERIFY(road.heldStart || road.pushToTalk ? xdotool({u"keydown"_s, shortcut}) : pressShortcut());
        QVERIFY(waitForState(u"recording"_s));
        if (road.heldStart) {
            // A held key repeats after the X server's auto-repeat delay (Xvfb's default: 660 ms, then
            // every 40 ms); the repeats must neither stop the dictation nor start another.
            QTest::qWait(660 + 4 * 40);
            QVERIFY(xdotool({u"keyup"_s, shortcut}));
        }
        QVERIFY(speak(u"Hola desde Murmex, qué tal."_s));
        QVERIFY2(waitForVoice(logBefore), qPrintable(log()));
        QVERIFY(road.pushToTalk ? xdotool({u"keyup"_s, shortcut}) : pressShortcut());

        // Exactly the text, once: nothing of a dictation given up before, and no stray key after it
        // (a second paste, the caret nudge's arrows) by the time Murmex's last caret reveal pass is due.
        if (!QTest::qWaitFor([&] { return readFile(targetFile) == road.expected; }, timeout))
            qWarning().noquote() << "Murmex's log:\n" << log() << "\nengine doubles:\n" << readFile(doublesLog);
        QCOMPARE(readFile(targetFile), road.expected);
        (void)QTest::qWaitFor([&] { return readFile(targetFile) != road.expected; }, int(PasteAtCursor::secondRevealDelay.count()));
        QCOMPARE(readFile(targetFile), road.expected);
        QVERIFY(waitForState(u"idle"_s));
        QTRY_VERIFY_WITH_TIMEOUT(recordingFolders().isEmpty(), timeout);
        QCOMPARE(watcher->states(), expectedStates << u"starting"_s << u"recording"_s << u"transcribing"_s << u"idle"_s);
    }

    // Murmex ends in order while the engine is still working on the text: the recording stays for
    // the next attempt, and nothing more happens: no alert, no other engine, no state written.
    void terminationWhileTranscribingKeepsTheRecording_data()
    {
        QTest::addColumn<bool>("server");
        QTest::newRow("server") << true;
        QTest::newRow("command line") << false;
    }

    void terminationWhileTranscribingKeepsTheRecording()
    {
        QFETCH(bool, server);
        start({.engineDelayMs = 2000}, server);
        if (QTest::currentTestFailed())
            return;
        const qsizetype logBefore = log().size();
        QVERIFY(pressShortcut() && waitForState(u"recording"_s));
        QVERIFY(speak(u"Hola desde Murmex."_s) && waitForVoice(logBefore));
        QVERIFY(pressShortcut() && waitForState(u"transcribing"_s));
        // The engine has the segment: the server double logs the upload's start only when it
        // answers, so the command line's start, or the upload in flight, is the sign.
        const auto commandLineRan = [&] { return readFile(doublesLog).contains(u"\"program\":\"whisper-cli\""_s); };
        QVERIFY(server || QTest::qWaitFor(commandLineRan, timeout));

        quitMurmex();
        QVERIFY2(!log().contains(u"[MurmexAlert]"_s), qPrintable(log()));
        QCOMPARE(commandLineRan(), !server);
        const QStringList folders = recordingFolders();
        QCOMPARE(folders.size(), 1);
        const QString folder = dataRoot + u"/Recordings/"_s + folders.first();
        QVERIFY(QFile::exists(folder + u"/segment-001.wav"_s));
        // Everything under the support root is the user's alone, also what the test wrote there.
        for (QDirIterator entries(dataRoot, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories); entries.hasNext();) {
            const QString path = entries.next();
            struct stat status {};
            QCOMPARE(::lstat(QFile::encodeName(path).constData(), &status), 0);
            QCOMPARE(u"%1 %2"_s.arg(path).arg(status.st_mode & 0777, 0, 8), u"%1 %2"_s.arg(path).arg(S_ISDIR(status.st_mode) ? 0700 : 0600, 0, 8));
        }
        QDir(folder).removeRecursively();
    }

    // Murmex killed while recording: the next launch offers the dictation, and "Transcribir" puts
    // its text on the clipboard (pasted here into the target by hand) and removes the recording.
    void interruptedDictationIsOfferedAtTheNextLaunch()
    {
        start();
        if (QTest::currentTestFailed())
            return;
        const qsizetype logBefore = log().size();
        QVERIFY(pressShortcut() && waitForState(u"recording"_s));
        QVERIFY(speak(u"Hola desde Murmex, qué tal."_s) && waitForVoice(logBefore));
        murmex.kill();
        QVERIFY(murmex.waitForFinished(timeout));
        QCOMPARE(recordingFolders().size(), 1);

        murmexLog.clear();
        murmex.start(build + u"/Murmex/bin/murmex"_s, {});
        QVERIFY2(QTest::qWaitFor([&] { return log().contains(u"[MurmexAlert] Se conservó un dictado interrumpido"_s); }, timeout), qPrintable(log()));
        screenshot(u"interrupted-dictation-alert.png"_s);
        // The alert has the focus, and its first button, "Transcribir", is the default one.
        const auto activeWindowName = [] {
            QProcess name;
            name.start(u"xdotool"_s, {u"getactivewindow"_s, u"getwindowname"_s});
            name.waitForFinished();
            return QString::fromUtf8(name.readAllStandardOutput()).trimmed();
        };
        QTRY_COMPARE_WITH_TIMEOUT(activeWindowName(), u"Murmex"_s, timeout);
        QVERIFY(xdotool({u"key"_s, u"Return"_s}));
        QVERIFY2(QTest::qWaitFor([&] { return recordingFolders().isEmpty(); }, timeout), qPrintable(log()));
        QVERIFY(focusTarget() && xdotool({u"key"_s, u"--clearmodifiers"_s, u"ctrl+v"_s}));
        QTRY_COMPARE_WITH_TIMEOUT(readFile(targetFile), u"hola desde Murmex, qué tal"_s, timeout);
    }

    // A second start leaves the running Murmex alone: its engine keeps running.
    void secondMurmexLeavesTheFirstAlone()
    {
        start();
        if (QTest::currentTestFailed())
            return;
        QProcess second;
        second.setProcessEnvironment(murmex.processEnvironment());
        second.start(build + u"/Murmex/bin/murmex"_s, {});
        QVERIFY(second.waitForFinished(timeout));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QVERIFY(second.readAllStandardError().contains("Murmex ya está abierto."));
        QVERIFY(!readFile(doublesLog).contains(u"\"exit\""_s));
        QCOMPARE(murmex.state(), QProcess::Running);
    }

private:
    // The road's target program, then Murmex with its engine double; without `server`, only the
    // command-line double is found.
    void start(const Road &road = {}, bool server = true)
    {
        targetTitle = u"^%1$"_s.arg(road.title);
        targetFile = scratch.filePath(u"%1.txt"_s.arg(QTest::currentDataTag()));
        target.start(road.command.first(), road.command.mid(1) << targetFile);
        QVERIFY(target.waitForStarted() && focusTarget());
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(targetFile), timeout); // the field is ready for keys

        QFile::remove(doublesLog);
        murmexLog.clear();
        QString doubles = build + u"/tests/doubles/bin"_s;
        if (!server) {
            doubles = scratch.filePath(u"cli-only"_s);
            QDir().mkpath(doubles);
            QFile::link(build + u"/tests/doubles/bin/whisper-cli"_s, doubles + u"/whisper-cli"_s);
        }
        if (road.pushToTalk)
            writeFile(settingsFile, "[General]\npushToTalk=true\n");
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"PATH"_s, doubles + u":"_s + environment.value(u"PATH"_s));
        environment.insert(u"MURMEX_DOUBLE_TRANSCRIPTS"_s, road.transcript);
        environment.insert(u"MURMEX_DOUBLE_DELAY_MS"_s, QString::number(road.engineDelayMs));
        environment.insert(u"MURMEX_DOUBLE_LOG"_s, doublesLog);
        murmex.setProcessEnvironment(environment);
        murmex.setProcessChannelMode(QProcess::ForwardedOutputChannel); // the log is read from standard error
        murmex.start(build + u"/Murmex/bin/murmex"_s, {});
        QVERIFY(murmex.waitForStarted());
        if (server)
            QTRY_VERIFY_WITH_TIMEOUT(readFile(doublesLog).contains(u"\"listening\""_s), timeout);
        watcher = std::make_unique<StateWatcher>();
        QVERIFY(waitForState(u"idle"_s));
    }

    // Ends Murmex as the session does, with SIGTERM: it quits in order (an alert would hold it open)
    // and removes its runtime state file.
    void quitMurmex()
    {
        ::kill(pid_t(murmex.processId()), SIGTERM);
        const bool quit = murmex.waitForFinished(timeout);
        if (!quit)
            murmex.kill();
        QVERIFY(quit);
        QCOMPARE(murmex.exitCode(), 0);
        QVERIFY(!QFile::exists(stateFile));
    }

    bool waitForState(const QString &state) { return QTest::qWaitFor([&] { return watcher->states().endsWith(state); }, timeout); }
    // The voice may reach the microphone a little after the player is done on a busy machine.
    bool waitForVoice(qsizetype logBefore)
    {
        return QTest::qWaitFor([&] { return log().indexOf(u"[MurmexRecording] Voz detectada."_s, logBefore) >= 0; }, timeout);
    }
    bool focusTarget() { return xdotool({u"search"_s, u"--sync"_s, u"--name"_s, targetTitle, u"windowactivate"_s, u"--sync"_s}); }
    bool pressShortcut() { return xdotool({u"key"_s, u"--clearmodifiers"_s, shortcut}); }
    static void screenshot(const QString &name)
    {
        const QString folder = qEnvironmentVariable("MURMEX_ARTIFACTS_DIR", QDir::tempPath());
        if (QProcess::execute(qEnvironmentVariable("MURMEX_SCREENSHOT_TOOL"), {folder + u'/' + name}) == 0)
            qInfo("screenshot: %s/%s", qPrintable(folder), qPrintable(name));
    }
    QStringList recordingFolders() const { return QDir(dataRoot + u"/Recordings"_s).entryList(QDir::Dirs | QDir::NoDotAndDotDot); }
    // Murmex's log (its standard error where no system log listens), read as it comes.
    QString log() { return murmexLog += QString::fromUtf8(murmex.readAllStandardError()); }

    QTemporaryDir scratch;
    const QString doublesLog = scratch.filePath(u"doubles.log"_s);
    QString targetFile;
    QString targetTitle;
    QProcess target;
    QProcess murmex;
    QString murmexLog;
    std::unique_ptr<StateWatcher> watcher;
};

QTEST_GUILESS_MAIN(DictationRoadTest)
#include "DictationRoadTest.moc"
