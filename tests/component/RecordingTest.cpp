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

Q_DECLARE_METATYPE(ComputerAudioMode)

namespace {

constexpr int recordingTimeout = 10000;

struct WavFile {
    quint16 format = 0, channels = 0, bitsPerSample = 0;
    quint32 sampleRate = 0;
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
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray bytes = file.readAll();
    if (!bytes.startsWith("RIFF") || bytes.mid(8, 4) != "WAVE")
        return std::nullopt;
    WavFile wav;
    for (qsizetype offset = 12; offset + 8 <= bytes.size();) {
        const QByteArray id = bytes.mid(offset, 4);
        const quint32 size = qFromLittleEndian<quint32>(bytes.constData() + offset + 4);
        const char *body = bytes.constData() + offset + 8;
        if (id == "fmt ") {
            wav.format = qFromLittleEndian<quint16>(body);
            wav.channels = qFromLittleEndian<quint16>(body + 2);
            wav.sampleRate = qFromLittleEndian<quint32>(body + 4);
            wav.bitsPerSample = qFromLittleEndian<quint16>(body + 14);
        } else if (id == "data") {
            for (quint32 i = 0; i + 1 < size && offset + 8 + i + 1 < bytes.size(); i += 2)
                wav.samples.append(qFromLittleEndian<qint16>(body + i));
        }
        offset += 8 + size + (size & 1);
    }
    return wav;
}

// Runs a subcommand of the harness against this test's desktop.
bool harness(const QStringList &arguments)
{
    const QString desktop = QStringLiteral(MURMEX_SOURCE_DIR "/tests/harness/desktop");
    QStringList all{arguments.first(), qEnvironmentVariable("MURMEX_DESKTOP_DIR")};
    all.append(arguments.mid(1));
    return QProcess::execute(desktop, all) == 0;
}

// Speaks in the background, so the test can press the shortcut while the voice plays.
struct Speaker {
    QProcess process;
    explicit Speaker(const QString &text)
    {
        process.start(QStringLiteral(MURMEX_SOURCE_DIR "/tests/harness/desktop"),
                      {QStringLiteral("speak"), qEnvironmentVariable("MURMEX_DESKTOP_DIR"), text});
    }
    // Waits with the event loop running: the speech meter must tick while the voice plays.
    bool finish()
    {
        return QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, recordingTimeout) && process.exitCode() == 0;
    }
};

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
    void init() { QVERIFY(harness({QStringLiteral("plug-mic")})); }

    void speechIsRecordedAndDetected_data();
    void speechIsRecordedAndDetected();
    void silenceIsNotSpeech();
    void vanishingMicrophoneContinuesOnANewSegment_data();
    void vanishingMicrophoneContinuesOnANewSegment();
};

void RecordingTest::speechIsRecordedAndDetected_data()
{
    QTest::addColumn<ComputerAudioMode>("mode");
    QTest::newRow("voice-processed (exclude)") << ComputerAudioMode::exclude;
    QTest::newRow("plain file (allow)") << ComputerAudioMode::allow;
}

void RecordingTest::speechIsRecordedAndDetected()
{
    QFETCH(ComputerAudioMode, mode);
    Rig rig(mode);
    QVERIFY(rig.startRecording());
    Speaker speaker(QStringLiteral("Hola, esto es una prueba de dictado con Murmex."));
    QVERIFY(speaker.finish());
    QTRY_VERIFY_WITH_TIMEOUT(rig.controller->hasDetectedSpeech(), recordingTimeout);
    const QString segment = rig.controller->recordingSegments().value(0);
    rig.press();

    QCOMPARE(rig.controller->state(), DictationState::transcribing);
    QCOMPARE(rig.fakes.transcription->transcribedSegments, QStringList{segment});
    QVERIFY(segment.endsWith(QLatin1String("/segment-001.wav")));
    const auto wav = readWav(segment);
    QVERIFY(wav);
    QCOMPARE(wav->format, quint16(1)); // PCM
    QCOMPARE(wav->channels, quint16(1));
    QCOMPARE(wav->sampleRate, quint32(16000));
    QCOMPARE(wav->bitsPerSample, quint16(16));
    QVERIFY2(wav->samples.size() > 16000, qPrintable(QString::number(wav->samples.size())));
    qInfo("recorded %.2f s, RMS %.4f", wav->samples.size() / 16000.0, wav->rms());
    QVERIFY(wav->rms() > 0.01); // speech, not silence
}

void RecordingTest::silenceIsNotSpeech()
{
    Rig rig(ComputerAudioMode::exclude);
    QVERIFY(rig.startRecording());
    QTest::qWait(600);
    QVERIFY(!rig.controller->hasDetectedSpeech());
    const QString folder = rig.controller->recordingFolder();
    rig.press();
    QCOMPARE(rig.controller->state(), DictationState::idle);
    QVERIFY(!QFile::exists(folder)); // nothing said: the recording is not kept
    QCOMPARE(rig.fakes.log.count(QStringLiteral("transcribe")), 0);
}

void RecordingTest::vanishingMicrophoneContinuesOnANewSegment_data()
{
    QTest::addColumn<ComputerAudioMode>("mode");
    QTest::addColumn<bool>("stopDuringRestart");
    QTest::newRow("exclude, restarted") << ComputerAudioMode::exclude << false;
    QTest::newRow("allow, restarted") << ComputerAudioMode::allow << false;
    QTest::newRow("exclude, stopped while the restart waits") << ComputerAudioMode::exclude << true;
}

void RecordingTest::vanishingMicrophoneContinuesOnANewSegment()
{
    QFETCH(ComputerAudioMode, mode);
    QFETCH(bool, stopDuringRestart);
    Rig rig(mode);
    QVERIFY(rig.startRecording());
    {
        Speaker speaker(QStringLiteral("Primera parte."));
        QVERIFY(speaker.finish());
    }
    QTRY_VERIFY_WITH_TIMEOUT(rig.controller->hasDetectedSpeech(), recordingTimeout);
    const QString first = rig.controller->recordingSegments().value(0);

    QVERIFY(harness({QStringLiteral("unplug-mic")}));
    QTRY_VERIFY_WITH_TIMEOUT(rig.controller->hasPendingRecorderRestart(), recordingTimeout);
    QCOMPARE(rig.controller->restartAttempts(), 1);
    const QByteArray firstBytes = [&] {
        QFile file(first);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }();
    QVERIFY(readWav(first) && readWav(first)->rms() > 0.005);

    if (stopDuringRestart) {
        rig.press();
        QCOMPARE(rig.fakes.transcription->transcribedSegments, QStringList{first});
        QVERIFY(harness({QStringLiteral("plug-mic")}));
        QTest::qWait(800); // longer than the back-off: the pending restart must not run
        QCOMPARE(rig.controller->recordingSegments().size(), 0);
        QVERIFY(!QFile::exists(QFileInfo(first).path() + QStringLiteral("/segment-002.wav")));
        return;
    }

    QVERIFY(harness({QStringLiteral("plug-mic")}));
    QTRY_COMPARE_WITH_TIMEOUT(rig.controller->recordingSegments().size(), 2, recordingTimeout);
    const QStringList segments = rig.controller->recordingSegments();
    QCOMPARE(segments.at(0), first);
    QVERIFY(segments.at(1).endsWith(QLatin1String("/segment-002.wav")));
    {
        Speaker speaker(QStringLiteral("Segunda parte."));
        QVERIFY(speaker.finish());
    }
    rig.press();
    QCOMPARE(rig.fakes.transcription->transcribedSegments, segments);
    QFile file(first);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), firstBytes); // the first segment was not touched by the restart
    const auto second = readWav(segments.at(1));
    QVERIFY(second && second->rms() > 0.005);
}

QTEST_MAIN(RecordingTest)
#include "RecordingTest.moc"
