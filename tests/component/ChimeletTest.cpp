// The cue player as Murmex starts it: the bundle's libexec/chimelet as a real process, playing into
// the headless desktop's speaker "spk", whose monitor the test records. After each run a marker (a
// constant 0.5, louder than any cue) is played: once it arrives, everything played before it has
// arrived too, so "nothing was played" needs no waiting for a quiet moment.

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <cmath>
#include <cstring>

using namespace Qt::StringLiterals;

namespace {

constexpr int bound = 10000;

// The sink input of a Chimelet waiting for its trigger, as `pactl list sink-inputs` shows it.
QString waitingStream()
{
    QProcess pactl;
    pactl.start(u"pactl"_s, {u"list"_s, u"sink-inputs"_s});
    pactl.waitForFinished(bound);
    for (const QString &block : QString::fromUtf8(pactl.readAllStandardOutput()).split(u"Sink Input #"_s))
        if (block.contains(u"application.name = \"Chimelet\""_s) && block.contains(u"Corked: yes"_s))
            return block;
    return {};
}

} // namespace

class ChimeletTest : public QObject {
    Q_OBJECT

    const QString bundle = qEnvironmentVariable("MURMEX_BUNDLE_DIR");
    const QString startSound = bundle + u"/share/murmex/DictationStarted.wav"_s;
    QTemporaryDir folder;
    QProcess monitor;
    QByteArray heard;

    // Plays the marker and reads the monitor (float stereo 48 kHz) up to its end. Returns how long
    // something sounded before it: milliseconds from the first to the last audible sample.
    double heardBeforeMarker()
    {
        QProcess marker;
        marker.start(u"pacat"_s, {u"--device=spk"_s, u"--raw"_s, u"--format=float32le"_s, u"--rate=48000"_s, u"--channels=2"_s,
                                  folder.filePath(u"marker"_s)});
        qsizetype first = -1, last = -1, at = 0;
        bool inMarker = false;
        for (const QDeadlineTimer deadline(bound); !deadline.hasExpired(); heard += monitor.readAll()) {
            for (float sample; at + qsizetype(sizeof sample) <= heard.size(); at += sizeof sample) {
                std::memcpy(&sample, heard.constData() + at, sizeof sample);
                if (std::abs(sample) > 0.4f) {
                    inMarker = true;
                } else if (!inMarker && std::abs(sample) >= 1e-3f) {
                    first = first < 0 ? at : first;
                    last = at;
                } else if (inMarker) {
                    heard.remove(0, at);
                    marker.waitForFinished(bound);
                    return first < 0 ? 0 : double(last - first) / (2 * sizeof sample) / 48.0;
                }
            }
            monitor.waitForReadyRead(int(deadline.remainingTime()));
        }
        return -1;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(folder.isValid());
        QFile marker(folder.filePath(u"marker"_s)), text(folder.filePath(u"notes.wav"_s));
        const std::vector<float> markerSamples(2 * 4800, 0.5f); // 100 ms
        QVERIFY(marker.open(QIODevice::WriteOnly)
                && marker.write(reinterpret_cast<const char *>(markerSamples.data()), qsizetype(markerSamples.size() * 4)) > 0);
        QVERIFY(text.open(QIODevice::WriteOnly) && text.write("Esto no es un sonido.\n") > 0);
        marker.close();
        monitor.start(u"parec"_s, {u"--device=spk.monitor"_s, u"--raw"_s, u"--format=float32le"_s, u"--rate=48000"_s,
                                   u"--channels=2"_s, u"--latency-msec=10"_s});
        // An idle null sink renders a first block of up to 2 s, and a stream starting within it would
        // be lost at the monitor (see below). Once the monitor delivers, the sink works in 10 ms blocks.
        QVERIFY(monitor.waitForReadyRead(bound));
        QCOMPARE(heardBeforeMarker(), 0.0);
    }

    void cleanupTestCase()
    {
        monitor.kill();
        monitor.waitForFinished(bound);
    }

    void exitStatus_data()
    {
        QTest::addColumn<QStringList>("arguments"); // "START", "MISSING" and "TEXT" stand for files
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QString>("variable"); // set for the program, as NAME=VALUE
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("plays");
        QTest::addColumn<bool>("traced");
        const QString on = u"MURMEX_STARTUP_TRACE=1"_s, wait = u"--wait-for-recording"_s;
        const QByteArray none, one("\x01");
        const auto row = [](const char *name, QStringList arguments, QByteArray input, QString variable, int status, bool plays, bool traced) {
            QTest::newRow(name) << arguments << input << variable << status << plays << traced;
        };
        row("no arguments", {}, none, on, 1, false, false);
        row("third argument not the flag", {u"START"_s, u"--wait"_s}, one, on, 1, false, false);
        row("four arguments", {u"START"_s, wait, u"x"_s}, one, on, 1, false, false);
        row("missing file", {u"MISSING"_s}, none, on, 3, false, false);
        row("missing file, waiting", {u"MISSING"_s, wait}, one, on, 3, false, false);
        row("not audio", {u"TEXT"_s}, none, on, 3, false, false);
        row("not audio, waiting", {u"TEXT"_s, wait}, one, on, 3, false, false);
        row("no sound server", {u"START"_s}, none, u"PULSE_SERVER=unix:/nonexistent"_s, 2, false, false);
        row("end of input", {u"START"_s, wait}, none, on, 0, false, false);
        row("byte 0x02", {u"START"_s, wait}, "\x02", on, 0, false, false);
        row("byte 0x01, trace 1", {u"START"_s, wait}, one, on, 0, true, true);
        row("byte 0x01, trace true", {u"START"_s, wait}, one, u"MURMEX_STARTUP_TRACE=true"_s, 0, true, false);
        row("at once, trace 01", {u"START"_s}, none, u"MURMEX_STARTUP_TRACE=01"_s, 0, true, false);
        row("at once, trace unset", {u"START"_s}, none, {}, 0, true, false);
    }

    void exitStatus()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, input);
        QFETCH(QString, variable);
        QFETCH(int, status);
        QFETCH(bool, plays);
        QFETCH(bool, traced);
        arguments.replaceInStrings(u"START"_s, startSound).replaceInStrings(u"MISSING"_s, folder.filePath(u"missing.wav"_s))
            .replaceInStrings(u"TEXT"_s, folder.filePath(u"notes.wav"_s));
        QProcessEnvironment variables = QProcessEnvironment::systemEnvironment();
        variables.remove(u"MURMEX_STARTUP_TRACE"_s);
        if (!variable.isEmpty())
            variables.insert(variable.section(u'=', 0, 0), variable.section(u'=', 1));

        QProcess chimelet;
        chimelet.setProcessEnvironment(variables);
        chimelet.start(bundle + u"/libexec/chimelet"_s, arguments);
        const bool waits = status == 0 && arguments.size() == 2;
        if (waits) { // corked, with the role of Murmex's cues and the sound already in the server
            QTRY_VERIFY_WITH_TIMEOUT(!waitingStream().isEmpty(), bound);
            QVERIFY(waitingStream().contains(u"media.role = \"event\""_s));
            QVERIFY(!waitingStream().contains(u"Buffer Latency: 0 usec"_s));
        }
        const double triggered = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
        chimelet.write(input);
        chimelet.closeWriteChannel();
        QVERIFY(chimelet.waitForFinished(bound));
        QCOMPARE(chimelet.exitStatus(), QProcess::NormalExit);
        QCOMPARE(chimelet.exitCode(), status);

        const QString errors = QString::fromUtf8(chimelet.readAllStandardError());
        const auto line = QRegularExpression(u"^MURMEX_STARTUP (\\d+\\.\\d{6}) sound-play-called\\n$"_s).match(errors);
        QVERIFY2(traced ? line.hasMatch() : errors.isEmpty(), qPrintable(errors));
        if (traced && waits)
            qInfo("trigger byte written -> playback started: %.2f ms", (line.captured(1).toDouble() - triggered) * 1000);
        // All of it, but for the few milliseconds a null sink's monitor loses when a stream starts
        // (the sink rewinds what it had rendered ahead; the monitor cannot). 16-bit 48 kHz mono.
        const double soundMs = double(QFileInfo(startSound).size() - 44) / 2 / 48.0, heardMs = heardBeforeMarker();
        QVERIFY2(plays ? heardMs >= soundMs - 20 : heardMs == 0, qPrintable(u"heard %1 of %2 ms"_s.arg(heardMs).arg(soundMs)));
    }
};

QTEST_GUILESS_MAIN(ChimeletTest)
#include "ChimeletTest.moc"
