// Dictations recorded from the headless desktop's sound server: its virtual microphone speaks
// through espeak-ng, and the real recorders write what it hears.

#include "FakePlatform.h"
#include "FakeSubsystems.h"
#include "app/AppDelegate.h"
#include "app/AppStorage.h"
#include "audio/AudioRecorderFactory.h"
#include "platform/linux/PulseAudioSystem.h"
#include "support/Settings.h"

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

// What a segment file holds: its format, as one line, and its 16-bit samples.
struct WavFile {
    QString format;
    QList<qint16> samples;
    double rms() const
    {
        double sum = 0;
        for (qint16 sample : samples)
            sum += double(sample) * sample;
        return samples.isEmpty() ? 0 : std::sqrt(sum / samples.size()) / 32768.0;
    }
};

std::optional<WavFile> readWav(const QString &path)
{
    QFile file(path);
    const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    if (!bytes.startsWith("RIFF") || bytes.mid(8, 4) != "WAVE")
        return std::nullopt;
    WavFile wav;
    for (qsizetype offset = 12; offset + 8 <= bytes.size();) {
        const quint32 size = qFromLittleEndian<quint32>(bytes.constData() + offset + 4);
        const QByteArray id = bytes.mid(offset, 4), body = bytes.mid(offset + 8, size);
        const char *at = body.constData();
        if (id == "fmt " && body.size() >= 16)
            wav.format = QStringLiteral("format %1, %2 ch, %3 Hz, %4 bit")
                             .arg(qFromLittleEndian<quint16>(at))
                             .arg(qFromLittleEndian<quint16>(at + 2))
                             .arg(qFromLittleEndian<quint32>(at + 4))
                             .arg(qFromLittleEndian<quint16>(at + 14));
        else if (id == "data")
            for (qsizetype i = 0; i + 1 < body.size(); i += 2)
                wav.samples.append(qFromLittleEndian<qint16>(at + i));
        offset += 8 + size + (size & 1);
    }
    return wav;
}

// Runs a subcommand of the harness against this test's desktop, with the event loop running: the
// speech meter must tick while a voice plays ("speak").
bool harness(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral(MURMEX_SOURCE_DIR "/tests/harness/desktop"),
                  QStringList{arguments.first(), qEnvironmentVariable("MURMEX_DESKTOP_DIR")} + arguments.mid(1));
    return process.waitForStarted() && QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, recordingTimeout)
        && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

struct Rig {
    QTemporaryDir data;
    FakePlatform fake;
    FakeSubsystems fakes;
    PulseAudioSystem audio;
    std::unique_ptr<Settings> defaults;
    std::unique_ptr<AppDelegate> controller;

    explicit Rig(ComputerAudioMode mode)
    {
        qputenv("XDG_DATA_HOME", data.path().toUtf8());
        defaults = std::make_unique<Settings>(data.filePath(QStringLiteral("Murmex.conf")));
        AppDelegate::Subsystems subsystems = fakes.make();
        subsystems.recorders = std::make_shared<AudioRecorderFactory>(audio);
        controller = std::make_unique<AppDelegate>(fake.platform, *defaults, std::move(subsystems));
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

    void speechIsRecordedAndDetected_data();
    void speechIsRecordedAndDetected();
    void vanishingMicrophoneContinuesOnANewSegment_data();
    void vanishingMicrophoneContinuesOnANewSegment();
};

void RecordingTest::speechIsRecordedAndDetected_data()
{
    QTest::addColumn<ComputerAudioMode>("mode");
    QTest::addColumn<QString>("speech");
    QTest::newRow("voice-processed (exclude)") << ComputerAudioMode::exclude << u"Hola, esto es una prueba de dictado con Murmex."_s;
    QTest::newRow("plain file (allow)") << ComputerAudioMode::allow << u"Hola, esto es una prueba de dictado con Murmex."_s;
    // What the controller does with a silent recording is its own test's; here the silence is real.
    QTest::newRow("silence") << ComputerAudioMode::exclude << QString();
}

void RecordingTest::speechIsRecordedAndDetected()
{
    QFETCH(ComputerAudioMode, mode);
    QFETCH(QString, speech);
    Rig rig(mode);
    QVERIFY(rig.startRecording());
    const QString segment = rig.controller->recordingSegments().value(0);
    QVERIFY(segment.endsWith(QLatin1String("/segment-001.wav")));
    if (speech.isEmpty()) {
        // Half a second of silence heard and metered, and not taken for speech.
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(segment).size() > 16000, recordingTimeout);
        QVERIFY(!rig.controller->hasDetectedSpeech());
        return;
    }
    QVERIFY(harness({u"speak"_s, speech}));
    QTRY_VERIFY_WITH_TIMEOUT(rig.controller->hasDetectedSpeech(), recordingTimeout);
    rig.press();

    QCOMPARE(rig.controller->state(), DictationState::transcribing);
    QCOMPARE(rig.fakes.transcription->transcribedSegments, QStringList{segment});
    const auto wav = readWav(segment);
    QVERIFY(wav);
    QCOMPARE(wav->format, u"format 1, 1 ch, 16000 Hz, 16 bit"_s); // PCM
    QVERIFY2(wav->samples.size() > 16000, qPrintable(QString::number(wav->samples.size())));
    qInfo("recorded %.2f s, RMS %.4f", wav->samples.size() / 16000.0, wav->rms());
    QVERIFY(wav->rms() > 0.01); // speech, not silence
}

// The microphone is pulled out mid-dictation and plugged in again: the dictation goes on in a
// second segment and the first is kept as it was. (A stop while the restart waits is the
// controller's test.)
void RecordingTest::vanishingMicrophoneContinuesOnANewSegment_data()
{
    QTest::addColumn<ComputerAudioMode>("mode");
    QTest::newRow("exclude") << ComputerAudioMode::exclude;
    QTest::newRow("allow") << ComputerAudioMode::allow;
}

void RecordingTest::vanishingMicrophoneContinuesOnANewSegment()
{
    QFETCH(ComputerAudioMode, mode);
    Rig rig(mode);
    QVERIFY(rig.startRecording());
    QVERIFY(harness({u"speak"_s, u"Primera parte."_s}));
    QTRY_VERIFY_WITH_TIMEOUT(rig.controller->hasDetectedSpeech(), recordingTimeout);
    const QString first = rig.controller->recordingSegments().value(0);

    QVERIFY(harness({u"unplug-mic"_s}));
    QTRY_VERIFY_WITH_TIMEOUT(rig.controller->hasPendingRecorderRestart(), recordingTimeout);
    QCOMPARE(rig.controller->restartAttempts(), 1);
    const auto firstWav = readWav(first);
    QVERIFY(firstWav && firstWav->rms() > 0.005);

    QVERIFY(harness({u"plug-mic"_s}));
    QTRY_COMPARE_WITH_TIMEOUT(rig.controller->recordingSegments().size(), 2, recordingTimeout);
    const QStringList segments = rig.controller->recordingSegments();
    QCOMPARE(segments.at(0), first);
    QVERIFY(segments.at(1).endsWith(QLatin1String("/segment-002.wav")));
    QVERIFY(harness({u"speak"_s, u"Segunda parte."_s}));
    rig.press();
    QCOMPARE(rig.fakes.transcription->transcribedSegments, segments);
    const auto firstAfter = readWav(first), second = readWav(segments.at(1));
    QVERIFY(firstAfter && second);
    QCOMPARE(firstAfter->samples, firstWav->samples); // the restart did not touch the first segment
    QVERIFY(second->rms() > 0.005);
}

QTEST_MAIN(RecordingTest)
#include "RecordingTest.moc"
