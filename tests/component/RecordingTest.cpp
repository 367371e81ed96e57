// Dictations recorded from the headless desktop's sound server: its virtual microphone speaks
// through espeak-ng, and the real recorders write what it hears.

#include "FakePlatform.h"
#include "FakeSubsystems.h"
#include "app/AppDelegate.h"
#include "audio/AudioRecorderFactory.h"
#include "audio/SegmentFile.h"
#include "platform/linux/PulseAudioSystem.h"
#include "support/Settings.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <cmath>

using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(ComputerAudioMode)

namespace {

constexpr int recordingTimeout = 10000;

// A segment as a reader that trusts its header takes it (the frames it announces, and their samples
// on disk), and the whole frames the file holds. None when it is not 16 kHz mono 16-bit PCM.
struct Segment {
    QList<qint16> samples;
    qint64 announced, held;
};
std::optional<Segment> readSegment(const QString &path)
{
    QFile file(path);
    const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    const qsizetype fmt = bytes.indexOf("fmt "), data = bytes.indexOf("data");
    // PCM, 1 channel, 16000 Hz, 32000 bytes a second, 2 bytes a frame, 16 bits.
    if (!bytes.startsWith("RIFF") || fmt < 0 || bytes.mid(fmt + 8, 16) != QByteArray::fromHex("01000100803e0000007d000002001000") || data < 0
        || bytes.size() < data + 8)
        return std::nullopt;
    const quint32 announced = qFromLittleEndian<quint32>(bytes.constData() + data + 4);
    const QByteArray audio = bytes.mid(data + 8, announced);
    QList<qint16> samples(audio.size() / 2);
    qFromLittleEndian<qint16>(audio.constData(), samples.size(), samples.data());
    return Segment{samples, announced / 2, (bytes.size() - data - 8) / 2};
}

double rms(const QList<qint16> &samples)
{
    double sum = 0;
    for (qint16 sample : samples)
        sum += double(sample) * sample;
    return samples.isEmpty() ? 0 : std::sqrt(sum / samples.size()) / 32768.0;
}

void startHarness(QProcess &process, const QStringList &arguments)
{
    process.start(QStringLiteral(MURMEX_SOURCE_DIR "/tests/harness/desktop"),
                  QStringList{arguments.first(), qEnvironmentVariable("MURMEX_DESKTOP_DIR")} + arguments.mid(1));
}

// Runs a subcommand of the harness against this test's desktop, with the event loop running: the
// speech meter must tick while a voice plays ("speak").
bool harness(const QStringList &arguments)
{
    QProcess process;
    startHarness(process, arguments);
    return process.waitForStarted() && QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, recordingTimeout)
        && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

// The controller with the real recorders on the desktop's sound server, and fakes for the rest.
struct Rig {
    QTemporaryDir data;
    FakePlatform fake;
    FakeSubsystems fakes;
    PulseAudioSystem audio;
    Settings defaults{data.filePath(u"Murmex.conf"_s)};
    std::unique_ptr<AppDelegate> controller;

    explicit Rig(ComputerAudioMode mode)
    {
        qputenv("XDG_DATA_HOME", data.path().toUtf8());
        AppDelegate::Subsystems subsystems = fakes.make();
        subsystems.recorders = std::make_shared<AudioRecorderFactory>(audio);
        controller = std::make_unique<AppDelegate>(fake.platform, defaults, std::move(subsystems));
        controller->setComputerAudioMode(mode);
    }
    void press()
    {
        controller->dictationHotKeyPressed();
        controller->dictationHotKeyReleased();
    }
    bool startRecording()
    {
        press();
        return QTest::qWaitFor([&] { return controller->state() == DictationState::recording; }, recordingTimeout);
    }
};

} // namespace

class RecordingTest : public QObject {
    Q_OBJECT

private slots:
    void init() { QVERIFY(harness({u"plug-mic"_s})); }

    // Half a second of real silence is metered and not taken for speech; speech is recorded as
    // 16 kHz mono 16-bit PCM and detected. The microphone is pulled out mid-dictation and plugged in
    // again: the dictation goes on in a second segment and the first is kept as it was.
    void speechContinuesAcrossAVanishingMicrophone_data()
    {
        QTest::addColumn<ComputerAudioMode>("mode");
        QTest::newRow("voice-processed (exclude)") << ComputerAudioMode::exclude;
        QTest::newRow("plain file (allow)") << ComputerAudioMode::allow;
    }

    void speechContinuesAcrossAVanishingMicrophone()
    {
        QFETCH(ComputerAudioMode, mode);
        Rig rig(mode);
        QVERIFY(rig.startRecording());
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(rig.controller->recordingSegments().value(0)).size() > 16000, recordingTimeout);
        QVERIFY(!rig.controller->hasDetectedSpeech());
        const QString first = rig.controller->recordingSegments().value(0);
        QVERIFY(first.endsWith(u"/segment-001.wav"_s));
        QVERIFY(harness({u"speak"_s, u"Hola, esto es una prueba de dictado con Murmex."_s}));
        QTRY_VERIFY_WITH_TIMEOUT(rig.controller->hasDetectedSpeech(), recordingTimeout);

        QVERIFY(harness({u"unplug-mic"_s}));
        QTRY_VERIFY_WITH_TIMEOUT(rig.controller->hasPendingRecorderRestart(), recordingTimeout);
        QCOMPARE(rig.controller->restartAttempts(), 1);
        const auto firstBefore = readSegment(first);
        QVERIFY(firstBefore);

        QVERIFY(harness({u"plug-mic"_s}));
        QTRY_COMPARE_WITH_TIMEOUT(rig.controller->recordingSegments().size(), 2, recordingTimeout);
        const QStringList segments = rig.controller->recordingSegments();
        QCOMPARE(segments.at(0), first);
        QVERIFY(segments.at(1).endsWith(u"/segment-002.wav"_s));
        QVERIFY(harness({u"speak"_s, u"Segunda parte."_s}));
        rig.press();
        QCOMPARE(rig.controller->state(), DictationState::transcribing);
        QCOMPARE(rig.fakes.transcription->transcribedSegments, segments);
        const auto firstAfter = readSegment(first), second = readSegment(segments.at(1));
        QVERIFY(firstAfter && second);
        QCOMPARE(firstAfter->samples, firstBefore->samples); // the restart did not touch the first segment
        const double rms1 = rms(firstAfter->samples), rms2 = rms(second->samples); // speech, not silence
        QVERIFY2(rms1 > 0.005 && rms2 > 0.005, qPrintable(u"%1 %2"_s.arg(rms1).arg(rms2)));
    }

    // A recording process that never closes its segment: killed in mid-speech, or its file kept from
    // growing by a size limit as by a full disk. Killed, the segment reads as all but its last second,
    // and as every whole frame once repaired; at the limit the recorder says it ran out of space and
    // leaves every whole frame that fitted readable.
    void segmentOutlivesItsProcess_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<qint64>("sizeLimit"); // bytes; 0: killed instead
        const qint64 limit = 44 + 32000 + 1;   // the header, a second of audio and half a frame
        QTest::newRow("killed (allow)") << u"allow"_s << qint64(0);
        QTest::newRow("size limit (allow)") << u"allow"_s << limit;
        QTest::newRow("size limit (exclude)") << u"exclude"_s << limit;
    }

    void segmentOutlivesItsProcess()
    {
        QFETCH(QString, mode);
        QFETCH(qint64, sizeLimit);
        QTemporaryDir folder;
        const QString segment = folder.filePath(u"segment-001.wav"_s);
        QProcess recorder, speaker;
        QByteArray output;
        connect(&recorder, &QProcess::readyReadStandardOutput, this, [&] { output += recorder.readAllStandardOutput(); });
        const QStringList limit = sizeLimit ? QStringList{QString::number(sizeLimit)} : QStringList();
        recorder.start(QStringLiteral(MURMEX_RECORD_SEGMENT), QStringList{segment, mode} + limit);
        QTRY_VERIFY2_WITH_TIMEOUT(output.contains("first-buffer\n"), output.constData(), recordingTimeout);
        QElapsedTimer clock; // for the figures printed, not for a check
        clock.start();
        if (sizeLimit == 0) {
            startHarness(speaker, {u"speak"_s, u"Esta grabación se corta de golpe en mitad de una frase larga, para ver qué queda en el disco."_s});
            // About two seconds of audio in the file, and a quarter past the header's half-second updates.
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(segment).size() >= 44 + 2.25 * 32000, recordingTimeout);
            recorder.kill();
        }
        QTRY_VERIFY_WITH_TIMEOUT(recorder.state() == QProcess::NotRunning, recordingTimeout);
        const double recorded = clock.elapsed() / 1000.0;
        QTRY_VERIFY_WITH_TIMEOUT(speaker.state() == QProcess::NotRunning, recordingTimeout);

        const auto before = readSegment(segment);
        QVERIFY(before);
        const qint64 announced = before->announced, held = before->held;
        const double readable = SegmentFile::audioSeconds(segment); // as libsndfile opens it
        const auto repaired = SegmentFile::repairHeader(segment);
        QVERIFY2(repaired, repaired ? "" : qPrintable(repaired.error().description));
        const double afterRepair = SegmentFile::audioSeconds(segment);
        qInfo("%s: %.2f s recorded; before repair the header says %.3f s and libsndfile reads %.3f s; after it %.3f s (%lld whole frames)",
              QTest::currentDataTag(), recorded, announced / 16000.0, readable, afterRepair, held);
        const auto after = readSegment(segment);
        QVERIFY(after);
        QCOMPARE(std::pair(after->announced, after->held), std::pair(held, held));
        QCOMPARE(qRound64(afterRepair * 16000), held);
        if (sizeLimit == 0) {
            QVERIFY(announced >= held - 16000 && qRound64(readable * 16000) >= held - 16000);
        } else {
            QVERIFY2(output.contains("stopped ranOutOfDiskSpace=1\n"), output.constData());
            QCOMPARE(recorder.readAllStandardError().count("[MurmexAudio] Disco lleno: la grabación se detuvo.\n"), 1);
            QCOMPARE(QFileInfo(segment).size(), sizeLimit);
            QVERIFY(!*repaired); // the recorder left it complete
        }
    }
};

QTEST_MAIN(RecordingTest)
#include "RecordingTest.moc"
