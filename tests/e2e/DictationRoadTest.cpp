// The whole road as a person takes it: Murmex running in the tray of the headless desktop, a text
// field focused in another program, the shortcut pressed with xdotool, speech played into the
// virtual microphone, the shortcut pressed again — and the text arriving in that field, once.

#include "insertion/PasteAtCursor.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <csignal>
#include <mutex>
#include <thread>

namespace {

constexpr int timeout = 20000;
const QString source = QStringLiteral(MURMEX_SOURCE_DIR);
const QString build = QStringLiteral(MURMEX_BINARY_DIR);
const QString shortcut = QStringLiteral("ctrl+alt+super+d");

QString dataRoot()
{
    return qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/Murmex");
}

QString readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// The text with control characters shown as ^X: a terminal passes stray keys on as bytes.
QString shown(const QString &text)
{
    QString result;
    for (const QChar c : text)
        result += c.unicode() < 0x20 ? QStringLiteral("^") + QChar(c.unicode() + 0x40) : QString(c);
    return result;
}

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

bool xdotool(const QStringList &arguments)
{
    return QProcess::execute(QStringLiteral("xdotool"), arguments) == 0;
}

bool speak(const QString &text)
{
    return QProcess::execute(source + QStringLiteral("/tests/harness/desktop"), {QStringLiteral("speak"), qEnvironmentVariable("MURMEX_DESKTOP_DIR"), text}) == 0;
}

// Every state the runtime state file shows, in order, read every millisecond on its own thread
// (the "starting" state lasts only a few milliseconds).
class StateWatcher {
public:
    StateWatcher()
    {
        worker = std::thread([this] {
            QString last;
            while (!stopping) {
                const QString state = QJsonDocument::fromJson(readFile(dataRoot() + QStringLiteral("/runtime-state.json")).toUtf8())
                                          .object()
                                          .value(QStringLiteral("state"))
                                          .toString();
                if (!state.isEmpty() && state != last) {
                    std::lock_guard lock(mutex);
                    seen.append(state);
                    last = state;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
    }
    ~StateWatcher()
    {
        stopping = true;
        worker.join();
    }
    QStringList states()
    {
        std::lock_guard lock(mutex);
        return seen;
    }
    QString current()
    {
        std::lock_guard lock(mutex);
        return seen.value(seen.size() - 1);
    }

private:
    std::mutex mutex;
    QStringList seen;
    std::atomic<bool> stopping{false};
    std::thread worker;
};

} // namespace

class DictationRoadTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void dictationArrivesOnce_data();
    void dictationArrivesOnce();

private:
    // The target program, then Murmex with the engine double taking that long for each answer.
    void start(const QString &title, const QStringList &command, int engineDelayMs);
    bool waitForState(const QString &state) { return QTest::qWaitFor([&] { return watcher->current() == state; }, timeout); }
    // Murmex's log (its standard error where no system log listens), read as it comes.
    QString log()
    {
        murmexLog += QString::fromUtf8(murmex.readAllStandardError());
        return murmexLog;
    }
    bool waitForLog(const QString &line, qsizetype from) { return QTest::qWaitFor([&] { return log().indexOf(line, from) >= 0; }, timeout); }
    bool focusTarget() { return xdotool({QStringLiteral("search"), QStringLiteral("--sync"), QStringLiteral("--name"), targetTitle, QStringLiteral("windowactivate"), QStringLiteral("--sync")}); }
    bool pressShortcut() { return xdotool({QStringLiteral("key"), QStringLiteral("--clearmodifiers"), shortcut}); }
    QStringList recordingFolders() const
    {
        return QDir(dataRoot() + QStringLiteral("/Recordings")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    }

    QTemporaryDir scratch;
    QString targetFile;
    QString targetTitle;
    QString doublesLog;
    QProcess target;
    QProcess murmex;
    QString murmexLog;
    std::unique_ptr<StateWatcher> watcher;
};

void DictationRoadTest::initTestCase()
{
    // The engine double stands in for whisper.cpp; its models only need to exist.
    writeFile(dataRoot() + QStringLiteral("/Models/ggml-base.bin"), "model");
    writeFile(dataRoot() + QStringLiteral("/Models/ggml-silero-v6.2.0.bin"), "model");
    writeFile(dataRoot() + QStringLiteral("/Dictionaries/es.json"),
              R"([{"replacement": "Murmex", "source": "murmex"}, {"replacement": "qué tal", "source": "que tal"}])");
    doublesLog = scratch.filePath(QStringLiteral("doubles.log"));
}

void DictationRoadTest::start(const QString &title, const QStringList &command, int engineDelayMs)
{
    targetTitle = QLatin1Char('^') + title + QLatin1Char('$');
    targetFile = scratch.filePath(QStringLiteral("%1.txt").arg(QTest::currentDataTag()));
    target.start(command.first(), command.mid(1) << targetFile);
    QVERIFY(target.waitForStarted());
    QVERIFY(focusTarget());
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(targetFile), timeout); // the field is ready for keys

    QFile::remove(doublesLog);
    murmexLog.clear();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PATH"), build + QStringLiteral("/tests/doubles/bin:") + environment.value(QStringLiteral("PATH")));
    environment.insert(QStringLiteral("MURMEX_DOUBLE_TRANSCRIPTS"), QStringLiteral("[Música] hola desde murmex, que tal"));
    environment.insert(QStringLiteral("MURMEX_DOUBLE_DELAY_MS"), QString::number(engineDelayMs));
    environment.insert(QStringLiteral("MURMEX_DOUBLE_LOG"), doublesLog);
    murmex.setProcessEnvironment(environment);
    murmex.setProcessChannelMode(QProcess::ForwardedOutputChannel); // the log is read below
    murmex.start(build + QStringLiteral("/Murmex/bin/murmex"), {});
    QVERIFY(murmex.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(readFile(doublesLog).contains(QLatin1String("\"listening\"")), timeout);
    watcher = std::make_unique<StateWatcher>();
    QVERIFY(waitForState(QStringLiteral("idle")));
}

void DictationRoadTest::cleanup()
{
    watcher.reset();
    target.terminate();
    target.waitForFinished(3000);
    if (murmex.state() != QProcess::NotRunning) {
        ::kill(pid_t(murmex.processId()), SIGTERM);
        const bool quit = murmex.waitForFinished(10000);
        if (!quit)
            murmex.kill();
        QVERIFY(quit);
        QCOMPARE(murmex.exitCode(), 0);
        QVERIFY(!QFile::exists(dataRoot() + QStringLiteral("/runtime-state.json")));
    }
}

// Each target shows one focused text field and writes what it holds to the file named last on its
// command line.
void DictationRoadTest::dictationArrivesOnce_data()
{
    QTest::addColumn<QString>("title");
    QTest::addColumn<QStringList>("command");
    QTest::addColumn<int>("engineDelayMs");
    QTest::addColumn<bool>("escapedBefore"); // a dictation given up with Escape comes first
    QTest::addColumn<bool>("heldStart");     // the press that starts it is held past the key's auto-repeat

    const QStringList qt{build + QStringLiteral("/tests/harness/target/murmex-target")};
    const QStringList gtk{QStringLiteral("/usr/bin/python3"), source + QStringLiteral("/tests/harness/gtk-target")};
    // A terminal emulator of its own (not a window of one already running) with cat in a raw terminal:
    // every byte it receives, a stray arrow key's escape sequence or a literal ^V included, goes to
    // the file at once.
    const QString terminalTitle = QStringLiteral("Murmex terminal target");
    const QStringList terminal{QStringLiteral("lxterminal"), QStringLiteral("--no-remote"), QStringLiteral("--title"), terminalTitle, QStringLiteral("-e"),
                               QStringLiteral("sh"), QStringLiteral("-c"), QStringLiteral("stty raw -echo && exec cat > \"$0\"")};
    QTest::newRow("Qt field, engine answers at once") << QStringLiteral("Murmex target") << qt << 0 << false << false;
    QTest::newRow("Qt field, engine takes 300 ms, after an Escape") << QStringLiteral("Murmex target") << qt << 300 << true << false;
    QTest::newRow("GTK entry, start press held") << QStringLiteral("Murmex GTK target") << gtk << 0 << false << true;
    QTest::newRow("GTK terminal running cat") << terminalTitle << terminal << 0 << false << false;
}

void DictationRoadTest::dictationArrivesOnce()
{
    QFETCH(QString, title);
    QFETCH(QStringList, command);
    QFETCH(int, engineDelayMs);
    QFETCH(bool, escapedBefore);
    QFETCH(bool, heldStart);
    start(title, command, engineDelayMs);
    if (QTest::currentTestFailed())
        return;
    QStringList expectedStates{QStringLiteral("idle")};

    if (escapedBefore) {
        QVERIFY(pressShortcut());
        QVERIFY(waitForState(QStringLiteral("recording")));
        QVERIFY(speak(QStringLiteral("Esto no se escribe.")));
        QVERIFY(xdotool({QStringLiteral("key"), QStringLiteral("Escape")}));
        QVERIFY(waitForState(QStringLiteral("idle")));
        QTRY_VERIFY_WITH_TIMEOUT(recordingFolders().isEmpty(), timeout);
        expectedStates << QStringLiteral("starting") << QStringLiteral("recording") << QStringLiteral("idle");
    }

    QVERIFY(focusTarget());
    const qsizetype logBefore = log().size();
    QVERIFY(heldStart ? xdotool({QStringLiteral("keydown"), shortcut}) : pressShortcut());
    QVERIFY(waitForState(QStringLiteral("recording")));
    if (heldStart) {
        // A held key repeats after the X server's auto-repeat delay (Xvfb's default: 660 ms, then
        // every 40 ms); the repeats must neither stop the dictation nor start another.
        QTest::qWait(660 + 4 * 40);
        QVERIFY(xdotool({QStringLiteral("keyup"), shortcut}));
    }
    QVERIFY(speak(QStringLiteral("Hola desde Murmex, qué tal.")));
    // The voice may reach the microphone a little after the player is done on a busy machine.
    QVERIFY2(waitForLog(QStringLiteral("[MurmexRecording] Voz detectada."), logBefore), qPrintable(log()));
    QVERIFY(pressShortcut());

    // Exactly the text, once: nothing of a dictation given up before, and no stray key after it
    // (a second paste, the caret nudge's arrows) by the time Murmex's last caret reveal pass is due.
    const QString expected = QStringLiteral("hola desde Murmex, qué tal");
    QVERIFY2(QTest::qWaitFor([&] { return readFile(targetFile) == expected; }, timeout),
             qPrintable(QStringLiteral("target holds \"%1\"; Murmex's log:\n%2\nengine doubles:\n%3").arg(shown(readFile(targetFile)), log(), readFile(doublesLog))));
    QVERIFY2(!QTest::qWaitFor([&] { return readFile(targetFile) != expected; }, int(PasteAtCursor::secondRevealDelay.count())),
             qPrintable(QStringLiteral("then it holds \"%1\"").arg(shown(readFile(targetFile)))));
    QVERIFY(waitForState(QStringLiteral("idle")));
    QTRY_VERIFY_WITH_TIMEOUT(recordingFolders().isEmpty(), timeout);
    expectedStates << QStringLiteral("starting") << QStringLiteral("recording") << QStringLiteral("transcribing") << QStringLiteral("idle");
    QCOMPARE(watcher->states(), expectedStates);
}

QTEST_GUILESS_MAIN(DictationRoadTest)
#include "DictationRoadTest.moc"
