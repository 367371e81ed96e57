// The computer's sound kept out of a recording on the headless desktop's sound server: with the
// echo path on, speech plays into the speaker "spk" while other speech is spoken into the
// microphone, and the capture Murmex records with (its recorder factory) records both modes.

#include "audio/AudioRecorderFactory.h"
#include "platform/linux/PulseAudioSystem.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <cmath>
#include <cstring>

using namespace Qt::StringLiterals;

namespace {

constexpr int bound = 20000;
constexpr int rate = 16000;

// The samples of a 16-bit mono WAV file, linearly resampled to 16 kHz from the file's rate.
std::vector<float> wavSamples(const QString &path)
{
    QFile file(path);
    const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    const int fileRate = bytes.size() >= 44 ? qFromLittleEndian<qint32>(bytes.constData() + 24) : rate;
    const qsizetype data = bytes.indexOf("data");
    std::vector<float> samples;
    for (qsizetype at = data < 0 ? bytes.size() : data + 8; at + 2 <= bytes.size(); at += 2)
        samples.push_back(float(qFromLittleEndian<qint16>(bytes.constData() + at)) / 32768.0f);
    std::vector<float> resampled;
    for (double at = 0; at + 1 < double(samples.size()); at += double(fileRate) / rate) {
        const auto whole = size_t(at);
        resampled.push_back(float(samples[whole] + (at - double(whole)) * (samples[whole + 1] - samples[whole])));
    }
    return resampled;
}

// How much of `played` the first `count` samples of `recording` hold: the energy of the recording's
// least-squares projection onto it, at the best lag of 0 to 300 ms, as a level in dBFS.
double speechLevel(const std::vector<float> &recording, size_t count, const std::vector<float> &played)
{
    count = std::min(count, recording.size());
    double best = 1e-14;
    for (size_t lag = 0; lag <= rate * 3 / 10 && lag < count; ++lag) {
        double product = 0, energy = 1e-12;
        for (size_t i = 0; i < played.size() && i + lag < count; ++i) {
            product += double(recording[i + lag]) * played[i];
            energy += double(played[i]) * played[i];
        }
        best = std::max(best, product * product / energy / double(count));
    }
    return 10 * std::log10(best);
}

bool run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    return process.waitForFinished(bound) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

} // namespace

class EchoTest : public QObject {
    Q_OBJECT

    const QString desktopDir = qEnvironmentVariable("MURMEX_DESKTOP_DIR");
    const QString desktopScript = QStringLiteral(MURMEX_SOURCE_DIR "/tests/harness/desktop");
    QTemporaryDir folder;
    PulseAudioSystem audio;
    AudioRecorderFactory recorders{audio};
    std::vector<float> played; // what is played into the speaker, 16 kHz mono

    // Waits until the microphone has read 300 ms of zeros: no echo of an earlier recording's
    // speech can reach the next one.
    static bool waitForQuietMicrophone()
    {
        QProcess microphone;
        microphone.start(u"parec"_s, {u"--raw"_s, u"--format=float32le"_s, u"--rate=16000"_s, u"--channels=1"_s, u"--latency-msec=10"_s});
        QByteArray bytes;
        int quiet = 0;
        const bool quieted = QTest::qWaitFor(
            [&] {
                bytes += microphone.readAll();
                for (qsizetype at = 0; at + 4 <= bytes.size() && quiet < rate * 3 / 10; at += 4) {
                    float sample;
                    std::memcpy(&sample, bytes.constData() + at, sizeof sample);
                    quiet = sample == 0 ? quiet + 1 : 0;
                }
                bytes.remove(0, bytes.size() / 4 * 4);
                return quiet >= rate * 3 / 10;
            },
            bound);
        microphone.kill();
        microphone.waitForFinished(bound);
        return quieted;
    }

    // Records while the speaker plays its speech, which starts as the recording does, and the
    // microphone hears other speech; on until both have ended and 300 ms more for their echo.
    std::vector<float> record(ComputerAudioMode mode, const QString &name)
    {
        const QString segment = folder.filePath(name);
        if (!waitForQuietMicrophone())
            return {};
        // The player is connected first, so that its speech is played as soon as it is written.
        QProcess speaker;
        speaker.start(u"pacat"_s, {u"-v"_s, u"--device=spk"_s, u"--raw"_s, u"--format=float32le"_s, u"--rate=16000"_s, u"--channels=1"_s,
                                   u"--latency-msec=20"_s});
        QByteArray said;
        if (!QTest::qWaitFor([&] { return (said += speaker.readAllStandardError()).contains("Stream successfully created"); }, bound))
            return {};
        auto recorder = recorders.makeStartedRecorder(segment, mode, std::make_shared<RecordingStartupCancellation>());
        if (!recorder)
            return {};
        speaker.write(reinterpret_cast<const char *>(played.data()), qsizetype(played.size() * sizeof(float)));
        speaker.closeWriteChannel();
        QProcess voice;
        voice.start(desktopScript, {u"play"_s, desktopDir, folder.filePath(u"spoken.wav"_s)});
        const bool ended = QTest::qWaitFor([&] { return speaker.state() == QProcess::NotRunning && voice.state() == QProcess::NotRunning; }, bound);
        const qint64 bytes = QFileInfo(segment).size();
        const bool tail = ended && QTest::qWaitFor([&] { return QFileInfo(segment).size() >= bytes + rate * 2 * 3 / 10; }, bound);
        (*recorder)->stop();
        return ended && tail && voice.exitCode() == 0 ? wavSamples(segment) : std::vector<float>{};
    }

private slots:
    void initTestCase()
    {
        QVERIFY(folder.isValid());
        QVERIFY(run(u"espeak-ng"_s, {u"-v"_s, u"es"_s, u"-w"_s, folder.filePath(u"played.wav"_s),
                                     u"Esta mañana el tren salió con retraso, así que llegamos tarde a la reunión del viernes."_s}));
        QVERIFY(run(u"espeak-ng"_s, {u"-v"_s, u"en"_s, u"-a"_s, u"30"_s, u"-w"_s, folder.filePath(u"spoken.wav"_s),
                                     u"The weather is fine today and we will walk to the park after lunch."_s}));
        played = wavSamples(folder.filePath(u"played.wav"_s));
        QVERIFY(played.size() > 3 * rate);
        recorders.warmUp();
    }

    // Mode "exclude" keeps the speaker's speech out from the first buffer on: over the whole
    // recording its correlation with what the speaker played is at least 20 dB below that of a
    // recording in mode "allow", which holds it as the microphone heard it. The microphone's own
    // speech is quieter than the echo, so that what of it correlates with the speaker's speech by
    // chance stays well below the echo.
    void speakerSpeechKeptOut()
    {
        QVERIFY(run(desktopScript, {u"echo"_s, desktopDir, u"on"_s}));
        const auto echoOff = qScopeGuard([this] { run(desktopScript, {u"echo"_s, desktopDir, u"off"_s}); });
        // A loopback made while the speaker was idle starts about a second late; once something
        // has played through it, it keeps to its delay.
        QVERIFY(run(u"paplay"_s, {u"--device=spk"_s, folder.filePath(u"played.wav"_s)}));
        const std::vector<float> heardAsIs = record(ComputerAudioMode::allow, u"allow.wav"_s);
        const std::vector<float> keptOut = record(ComputerAudioMode::exclude, u"exclude.wav"_s);
        QVERIFY2(heardAsIs.size() > played.size() && keptOut.size() > played.size(), "a recording failed or is too short");
        const double allow = speechLevel(heardAsIs, heardAsIs.size(), played), exclude = speechLevel(keptOut, keptOut.size(), played);
        qInfo("speaker's speech in the recording: %.1f dBFS as heard, %.1f dBFS kept out (first second: %.1f dBFS, %.1f dBFS)", allow, exclude,
              speechLevel(heardAsIs, rate, played), speechLevel(keptOut, rate, played));
        QVERIFY2(allow > -40, "the microphone does not hear the speaker");
        QVERIFY(exclude <= allow - 20);
        // Not by keeping everything out: the microphone's own speech is still recorded.
        double energy = 0;
        for (const float sample : keptOut)
            energy += double(sample) * sample;
        QVERIFY2(10 * std::log10(energy / double(keptOut.size())) > -50, "the microphone's own speech is not recorded");
    }
};

QTEST_GUILESS_MAIN(EchoTest)
#include "EchoTest.moc"
