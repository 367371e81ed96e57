// The whole road as a person takes it: Murmex running in the tray of the headless desktop, a text
// field focused in another program, the shortcut pressed with xdotool, speech played into the
// virtual microphone, the shortcut pressed again — and the text arriving in that field.

#include "TestWav.h"

#include <QDir>
#include <QElapsedTimer>
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

QString dataRoot()
{
    return qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/Murmex");
}

QString readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
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

bool harness(const QStringList &arguments)
{
    QStringList all{arguments.first(), qEnvironmentVariable("MURMEX_DESKTOP_DIR")};
    all += arguments.mid(1);
    return QProcess::execute(source + QStringLiteral("/tests/harness/desktop"), all) == 0;
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
    void cleanupTestCase();
    void dictationArrivesInTheFocusedField();
    void escapeLeavesNothingBehind();
    void heldShortcutStartsOneDictation();

private:
    bool waitForState(const QString &state) { return QTest::qWaitFor([&] { return watcher->current() == state; }, timeout); }
    // Murmex's log (its standard error where no system log listens), read as it comes.
    QString log()
    {
        murmexLog += QString::fromUtf8(murmex.readAllStandardError());
        return murmexLog;
    }
    bool waitForLog(const QString &line, qsizetype from) { return QTest::qWaitFor([&] { return log().indexOf(line, from) >= 0; }, timeout); }
    bool focusTarget() { return xdotool({QStringLiteral("search"), QStringLiteral("--sync"), QStringLiteral("--name"), QStringLiteral("^Murmex target$"),
                                         QStringLiteral("windowactivate"), QStringLiteral("--sync")}); }
    bool pressShortcut() { return xdotool({QStringLiteral("key"), QStringLiteral("--clearmodifiers"), QStringLiteral("ctrl+alt+super+d")}); }
    QStringList recordingFolders() const
    {
        return QDir(dataRoot() + QStringLiteral("/Recordings")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    }

    QTemporaryDir scratch;
    QString targetFile;
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
    targetFile = scratch.filePath(QStringLiteral("target.txt"));
    doublesLog = scratch.filePath(QStringLiteral("doubles.log"));

    target.start(build + QStringLiteral("/tests/harness/target/murmex-target"), {targetFile});
    QVERIFY(target.waitForStarted());
    QVERIFY(focusTarget());

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PATH"), build + QStringLiteral("/tests/doubles/bin:") + environment.value(QStringLiteral("PATH")));
    environment.insert(QStringLiteral("MURMEX_DOUBLE_TRANSCRIPTS"), QStringLiteral("[Música] hola desde murmex, que tal"));
    environment.insert(QStringLiteral("MURMEX_DOUBLE_LOG"), doublesLog);
    murmex.setProcessEnvironment(environment);
    murmex.setProcessChannelMode(QProcess::ForwardedOutputChannel); // the log is read below
    murmex.start(build + QStringLiteral("/Murmex/bin/murmex"), {});
    QVERIFY(murmex.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(readFile(doublesLog).contains(QLatin1String("\"listening\"")), timeout);
    watcher = std::make_unique<StateWatcher>();
    QVERIFY(waitForState(QStringLiteral("idle")));
}

void DictationRoadTest::cleanupTestCase()
{
    watcher.reset();
    if (murmex.state() != QProcess::NotRunning) {
        ::kill(pid_t(murmex.processId()), SIGTERM);
        QVERIFY(murmex.waitForFinished(10000));
        QCOMPARE(murmex.exitCode(), 0);
        QVERIFY(!QFile::exists(dataRoot() + QStringLiteral("/runtime-state.json")));
    }
    target.terminate();
    target.waitForFinished(3000);
}

void DictationRoadTest::dictationArrivesInTheFocusedField()
{
    QVERIFY(focusTarget());
    const qsizetype logBefore = log().size();
    QVERIFY(pressShortcut());
    QVERIFY(waitForState(QStringLiteral("recording")));
    QVERIFY(harness({QStringLiteral("speak"), QStringLiteral("Hola desde Murmex, qué tal.")}));
    // The voice may reach the microphone a little after the player is done on a busy machine.
    QVERIFY2(waitForLog(QStringLiteral("[MurmexRecording] Voz detectada."), logBefore), qPrintable(log()));
    QElapsedTimer sinceStop;
    sinceStop.start();
    QVERIFY(pressShortcut());

    const QString expected = QStringLiteral("hola desde Murmex, qué tal");
    QVERIFY2(QTest::qWaitFor([&] { return readFile(targetFile) == expected; }, timeout),
             qPrintable(QStringLiteral("target holds \"%1\"; Murmex's log:\n%2\nengine doubles:\n%3").arg(readFile(targetFile), log(), readFile(doublesLog))));
    const qint64 toText = sinceStop.elapsed();
    QVERIFY(waitForState(QStringLiteral("idle")));
    QTRY_VERIFY_WITH_TIMEOUT(recordingFolders().isEmpty(), timeout);

    const QStringList states = watcher->states();
    const qsizetype start = states.lastIndexOf(QStringLiteral("starting"));
    QVERIFY2(start >= 0, qPrintable(states.join(QLatin1Char(' '))));
    QCOMPARE(states.mid(start), (QStringList{QStringLiteral("starting"), QStringLiteral("recording"), QStringLiteral("transcribing"),
                                             QStringLiteral("idle")}));

    // What the engine double itself takes for such a recording: a bare curl of the segment's size.
    const QString sample = scratch.filePath(QStringLiteral("sample.wav"));
    QVERIFY(writeToneWav(sample, 3.0));
    const int port = 20000 + int(murmex.processId() % 30000);
    QElapsedTimer curlTime;
    curlTime.start();
    QVERIFY(QProcess::execute(QStringLiteral("curl"), {QStringLiteral("--silent"), QStringLiteral("--fail"), QStringLiteral("--output"), QStringLiteral("/dev/null"),
                                                       QStringLiteral("http://127.0.0.1:%1/inference").arg(port), QStringLiteral("--form"),
                                                       QStringLiteral("file=@") + sample, QStringLiteral("--form"), QStringLiteral("response_format=text")}) == 0);
    const qint64 engine = curlTime.elapsed();
    qInfo("second press -> text in the target: %lld ms; the engine double answering alone: %lld ms; Murmex's part: %lld ms", toText, engine,
          toText - engine);
}

void DictationRoadTest::escapeLeavesNothingBehind()
{
    const QString before = readFile(targetFile);
    QVERIFY(focusTarget());
    QVERIFY(pressShortcut());
    QVERIFY(waitForState(QStringLiteral("recording")));
    QVERIFY(harness({QStringLiteral("speak"), QStringLiteral("Esto no se escribe.")}));
    QVERIFY(xdotool({QStringLiteral("key"), QStringLiteral("Escape")}));
    QVERIFY(waitForState(QStringLiteral("idle")));
    QTRY_VERIFY_WITH_TIMEOUT(recordingFolders().isEmpty(), timeout);
    QTest::qWait(1000); // no text may arrive late
    QCOMPARE(readFile(targetFile), before);
}

void DictationRoadTest::heldShortcutStartsOneDictation()
{
    QVERIFY(focusTarget());
    const qsizetype before = watcher->states().size();
    QVERIFY(xdotool({QStringLiteral("keydown"), QStringLiteral("ctrl+alt+super+d")}));
    QVERIFY(waitForState(QStringLiteral("recording")));
    QTest::qWait(800); // the key repeats while held: the dictation must not stop or restart
    QVERIFY(xdotool({QStringLiteral("keyup"), QStringLiteral("ctrl+alt+super+d")}));
    QTest::qWait(200);
    QCOMPARE(watcher->current(), QStringLiteral("recording"));
    QCOMPARE(watcher->states().mid(before), (QStringList{QStringLiteral("starting"), QStringLiteral("recording")}));

    QVERIFY(pressShortcut()); // the next press after the release stops it (silence: nothing kept)
    QVERIFY(waitForState(QStringLiteral("idle")));
    QTRY_VERIFY_WITH_TIMEOUT(recordingFolders().isEmpty(), timeout);
}

QTEST_GUILESS_MAIN(DictationRoadTest)
#include "DictationRoadTest.moc"
