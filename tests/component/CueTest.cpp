// The start and stop cues as Murmex plays them on the headless desktop's sound server: the cues
// object with the capture Murmex records with (its recorder factory) and the real cue player. What
// plays into the speaker "spk" is read from its monitor. After each dictation a marker (a constant
// 0.5, louder than any cue) is played: once it arrives, everything played before it has arrived too.

#include "audio/AudioRecorderFactory.h"
#include "cues/ChimeletSoundCues.h"
#include "platform/linux/PulseAudioSystem.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QtEndian>

#include <csignal>
#include <cmath>
#include <cstring>

using namespace Qt::StringLiterals;

namespace {

constexpr int bound = 10000;
constexpr int monitorRate = 48000;
constexpr float audible = 1e-3f;
constexpr float markerLevel = 0.4f;

enum class Sound { start, stop, other };

struct Burst {
    qsizetype begin = 0, end = 0; // samples of the monitor
    Sound sound = Sound::other;
    double milliseconds() const { return double(end - begin) / (monitorRate / 1000.0); }
};

double toneLevel(const float *samples, int count, double frequency)
{
    // Goertzel: the power of one frequency.
    const double coefficient = 2 * std::cos(2 * M_PI * frequency / monitorRate);
    double previous = 0, beforePrevious = 0;
    for (int i = 0; i < count; ++i) {
        const double current = samples[i] + coefficient * previous - beforePrevious;
        beforePrevious = previous;
        previous = current;
    }
    return previous * previous + beforePrevious * beforePrevious - coefficient * previous * beforePrevious;
}

// Runs of audible samples (gaps under 20 ms belong to the run), each told apart by its first note:
// the start sound opens on G5, the stop sound on C6 (scripts/make-sounds).
QList<Burst> bursts(const std::vector<float> &heard, qsizetype from, qsizetype to)
{
    constexpr qsizetype gap = monitorRate / 50, opening = monitorRate / 25;
    QList<Burst> found;
    for (qsizetype i = from; i < to; ++i) {
        if (std::abs(heard[size_t(i)]) < audible)
            continue;
        if (!found.isEmpty() && i - found.last().end < gap)
            found.last().end = i + 1;
        else
            found.append({i, i + 1});
    }
    for (Burst &burst : found) {
        const int count = int(std::min(opening, burst.end - burst.begin));
        const double low = toneLevel(heard.data() + burst.begin, count, 783.99), high = toneLevel(heard.data() + burst.begin, count, 1046.5);
        burst.sound = std::max(low, high) < 1e-3 * count * count ? Sound::other : low > high ? Sound::start : Sound::stop;
    }
    return found;
}

// The 16-bit samples of a WAV file.
std::vector<float> wavSamples(const QString &path)
{
    QFile file(path);
    const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    const qsizetype data = bytes.indexOf("data");
    std::vector<float> samples;
    for (qsizetype at = data < 0 ? bytes.size() : data + 8; at + 2 <= bytes.size(); at += 2)
        samples.push_back(float(qFromLittleEndian<qint16>(bytes.constData() + at)) / 32768.0f);
    return samples;
}

// The level of the loudest 50 ms of a 16 kHz recording, in dBFS.
double loudestLevel(const std::vector<float> &samples)
{
    constexpr size_t window = 800;
    double loudest = 0, sum = 0;
    for (size_t i = 0; i < samples.size(); ++i) {
        sum += double(samples[i]) * samples[i];
        if (i >= window)
            sum -= double(samples[i - window]) * samples[i - window];
        loudest = std::max(loudest, sum / window);
    }
    return 10 * std::log10(std::max(loudest, 1e-14));
}

void desktop(const QStringList &arguments)
{
    QProcess script;
    script.start(QStringLiteral(MURMEX_SOURCE_DIR "/tests/harness/desktop"), arguments);
    QVERIFY(script.waitForFinished(bound));
    QVERIFY2(script.exitCode() == 0, script.readAllStandardError().constData());
}

} // namespace

class CueTest : public QObject {
    Q_OBJECT

    const QString bundle = qEnvironmentVariable("MURMEX_BUNDLE_DIR");
    const QString desktopDir = qEnvironmentVariable("MURMEX_DESKTOP_DIR");
    QTemporaryDir folder;
    QProcess monitor;
    QByteArray unread;
    std::vector<float> heard; // the speaker's monitor, mono 48 kHz
    PulseAudioSystem audio;
    AudioRecorderFactory recorders{audio};
    std::unique_ptr<ChimeletSoundCues> cues;

    struct Dictation {
        QList<Burst> heard;         // from the start of the dictation to the marker
        bool startByPlayer = false; // a player process played the start cue
        QString segment;
        QString failure;
    };

    bool readMonitor(const QDeadlineTimer &deadline)
    {
        unread += monitor.readAll();
        const qsizetype whole = unread.size() / qsizetype(sizeof(float));
        const size_t before = heard.size();
        heard.resize(before + size_t(whole));
        std::memcpy(heard.data() + before, unread.constData(), size_t(whole) * sizeof(float));
        unread.remove(0, whole * qsizetype(sizeof(float)));
        return whole > 0 || monitor.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime())));
    }

    // Waits until a sound heard after `from` has ended (50 ms of quiet after it).
    bool waitForSoundEnded(qsizetype from)
    {
        for (const QDeadlineTimer deadline(bound); !deadline.hasExpired(); readMonitor(deadline)) {
            const auto found = bursts(heard, from, qsizetype(heard.size()));
            if (!found.isEmpty() && qsizetype(heard.size()) - found.first().end > monitorRate / 20)
                return true;
        }
        return false;
    }

    // Plays the marker; returns the sounds heard from `from` up to it.
    QList<Burst> soundsBeforeMarker(qsizetype from)
    {
        QProcess marker;
        marker.start(u"pacat"_s, {u"--device=spk"_s, u"--raw"_s, u"--format=float32le"_s, u"--rate=48000"_s, u"--channels=1"_s,
                                  folder.filePath(u"marker"_s)});
        for (const QDeadlineTimer deadline(bound); !deadline.hasExpired(); readMonitor(deadline)) {
            const auto start = std::find_if(heard.begin() + from, heard.end(), [](float sample) { return std::abs(sample) > markerLevel; });
            const auto end = std::find_if(start, heard.end(), [](float sample) { return std::abs(sample) < audible; });
            if (end == heard.end())
                continue;
            marker.waitForFinished(bound);
            return bursts(heard, from, start - heard.begin());
        }
        return {};
    }

    // Waits until the microphone has heard 300 ms of quiet: nothing played before, not even an echo
    // of it, can reach the next recording. The event loop runs meanwhile, so the monitor is read on.
    static bool waitForQuietMicrophone()
    {
        constexpr int quietFrames = 4800;
        QProcess microphone;
        microphone.start(u"parec"_s, {u"--raw"_s, u"--format=float32le"_s, u"--rate=16000"_s, u"--channels=1"_s, u"--latency-msec=10"_s});
        QByteArray bytes;
        int quiet = 0;
        const bool quieted = QTest::qWaitFor(
            [&] {
                bytes += microphone.readAll();
                const qsizetype whole = bytes.size() / qsizetype(sizeof(float));
                for (qsizetype i = 0; i < whole && quiet < quietFrames; ++i) {
                    float sample;
                    std::memcpy(&sample, bytes.constData() + i * qsizetype(sizeof sample), sizeof sample);
                    quiet = std::abs(sample) < audible ? quiet + 1 : 0;
                }
                bytes.remove(0, whole * qsizetype(sizeof(float)));
                return quiet >= quietFrames;
            },
            bound);
        microphone.kill();
        microphone.waitForFinished(bound);
        return quieted;
    }

    // One dictation as the controller runs it: the start cue once recording has begun, the stop cue
    // after the recorder stopped. It records on for half a second after the start cue has ended, so
    // that the recording holds whatever echo of it the microphone heard.
    Dictation dictate(ComputerAudioMode mode, const QString &name)
    {
        Dictation dictation;
        dictation.segment = folder.filePath(name + u".wav"_s);
        if (!waitForQuietMicrophone()) {
            dictation.failure = u"the microphone does not fall quiet"_s;
            return dictation;
        }
        const qsizetype from = qsizetype(heard.size());
        if (mode == ComputerAudioMode::allow)
            cues->prepareStartCue();
        auto recorder = recorders.makeStartedRecorder(dictation.segment, mode, std::make_shared<RecordingStartupCancellation>());
        if (!recorder) {
            dictation.failure = u"no recording: "_s + recorder.error().description;
            return dictation;
        }
        cues->playRecordingStarted();
        dictation.startByPlayer = cues->isPlayerRunning();
        if (!waitForSoundEnded(from))
            dictation.failure = u"the start cue was not heard"_s;
        const qint64 bytes = QFileInfo(dictation.segment).size();
        if (dictation.failure.isEmpty() && !QTest::qWaitFor([&] { return QFileInfo(dictation.segment).size() >= bytes + 16000; }, bound))
            dictation.failure = u"the recording does not grow"_s;
        (*recorder)->stop();
        cues->cancelPreparedStartCue();
        cues->playRecordingStopped();
        if (!QTest::qWaitFor([&] { return !cues->isPlayerRunning(); }, bound))
            dictation.failure = u"the stop cue does not end"_s;
        dictation.heard = soundsBeforeMarker(from);
        return dictation;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(folder.isValid());
        QFile marker(folder.filePath(u"marker"_s));
        const std::vector<float> markerSamples(4800, 0.5f); // 100 ms
        QVERIFY(marker.open(QIODevice::WriteOnly)
                && marker.write(reinterpret_cast<const char *>(markerSamples.data()), qsizetype(markerSamples.size() * 4)) > 0);
        marker.close();
        // An idle null sink renders a first block of up to 2 s, and a stream starting within it is
        // lost at the monitor. Once the monitor delivers, the sink works in 10 ms blocks.
        monitor.start(u"parec"_s, {u"--device=spk.monitor"_s, u"--raw"_s, u"--format=float32le"_s, u"--rate=48000"_s, u"--channels=1"_s,
                                   u"--latency-msec=10"_s});
        QVERIFY(monitor.waitForReadyRead(bound));

        cues = std::make_unique<ChimeletSoundCues>(
            ChimeletSoundCues::Locations{bundle + u"/share/murmex/DictationStarted.wav"_s, bundle + u"/share/murmex/DictationStopped.wav"_s,
                                         bundle + u"/libexec/chimelet"_s},
            [this] { return recorders.tryPlayStartCue(); });
        cues->loadEmbeddedSounds();
        recorders.warmUp();
    }

    void cleanupTestCase()
    {
        cues.reset();
        monitor.kill();
        monitor.waitForFinished(bound);
    }

    // Each dictation is heard to start once and to stop once, in that order, whole: in mode
    // "exclude" the capture plays the start cue, in mode "allow" the player prepared for it.
    void startAndStopCues_data()
    {
        QTest::addColumn<ComputerAudioMode>("mode");
        QTest::addColumn<bool>("startByPlayer");
        QTest::newRow("exclude: the capture plays it") << ComputerAudioMode::exclude << false;
        QTest::newRow("allow: the prepared player plays it") << ComputerAudioMode::allow << true;
    }

    void startAndStopCues()
    {
        QFETCH(ComputerAudioMode, mode);
        QFETCH(bool, startByPlayer);
        for (int round = 1; round <= 2; ++round) {
            const Dictation dictation = dictate(mode, u"%1-%2"_s.arg(QTest::currentDataTag()).arg(round));
            QVERIFY2(dictation.failure.isEmpty(), qPrintable(dictation.failure));
            QCOMPARE(dictation.heard.size(), 2);
            QCOMPARE(dictation.heard[0].sound, Sound::start);
            QCOMPARE(dictation.heard[1].sound, Sound::stop);
            QCOMPARE(dictation.startByPlayer, startByPlayer);
            QVERIFY(!cues->hasPreparedStartCue());
            // All of each sound (a null sink's monitor loses a few ms when a stream starts), and no
            // second copy overlapping it.
            for (const auto &[burst, sound] : {std::pair{dictation.heard[0], u"DictationStarted"_s}, std::pair{dictation.heard[1], u"DictationStopped"_s}}) {
                const double length = double(QFileInfo(bundle + u"/share/murmex/"_s + sound + u".wav"_s).size() - 44) / 2 / 48.0;
                QVERIFY2(burst.milliseconds() > length - 40 && burst.milliseconds() < length + 15,
                         qPrintable(u"%1: heard %2 of %3 ms"_s.arg(sound).arg(burst.milliseconds()).arg(length)));
            }
        }
    }

    // The player prepared for mode "allow" that is not needed ends without a sound; one that has died
    // meanwhile (Qt has not noticed yet) takes no trigger, which must not end Murmex with SIGPIPE, and
    // a fresh player plays the cue instead.
    void preparedPlayer_data()
    {
        QTest::addColumn<bool>("died");
        QTest::addColumn<QList<Sound>>("sounds");
        QTest::newRow("cancelled") << false << QList<Sound>{};
        QTest::newRow("died before the trigger") << true << QList<Sound>{Sound::start};
    }

    void preparedPlayer()
    {
        QFETCH(bool, died);
        QFETCH(QList<Sound>, sounds);
        const qsizetype from = qsizetype(heard.size());
        cues->prepareStartCue();
        const pid_t player = pid_t(cues->preparedPlayerProcessId());
        QVERIFY(player > 0);
        if (died) {
            // Dead, but not yet reaped: only the trigger can tell.
            QVERIFY(::kill(player, SIGKILL) == 0);
            const auto zombie = [player] {
                QFile stat(u"/proc/%1/stat"_s.arg(player));
                return stat.open(QIODevice::ReadOnly) && stat.readAll().contains(") Z ");
            };
            for (const QDeadlineTimer deadline(bound); !zombie() && !deadline.hasExpired();)
                QThread::msleep(1);
            QVERIFY(zombie());
            cues->playRecordingStarted();
            QVERIFY(cues->isPlayerRunning());
        } else {
            cues->cancelPreparedStartCue();
        }
        QVERIFY(!cues->hasPreparedStartCue());
        QTRY_VERIFY_WITH_TIMEOUT(!cues->isPlayerRunning() && ::kill(player, 0) != 0, bound);
        QList<Sound> heardSounds;
        for (const Burst &burst : soundsBeforeMarker(from))
            heardSounds << burst.sound;
        QCOMPARE(heardSounds, sounds);
    }

    // With the microphone hearing the speaker, a dictation in mode "exclude" keeps the start cue out
    // of its recording, from its first buffer on: at least 20 dB below the cue as the microphone
    // hears it, which a recording in mode "allow" keeps.
    void startCueKeptOutOfRecording()
    {
        desktop({u"echo"_s, desktopDir, u"on"_s});
        const auto echoOff = qScopeGuard([this] { desktop({u"echo"_s, desktopDir, u"off"_s}); });
        const Dictation heardAsIs = dictate(ComputerAudioMode::allow, u"echo-allow"_s);
        const Dictation keptOut = dictate(ComputerAudioMode::exclude, u"echo-exclude"_s);
        QVERIFY2(heardAsIs.failure.isEmpty() && keptOut.failure.isEmpty(), qPrintable(heardAsIs.failure + keptOut.failure));
        const double cue = loudestLevel(wavSamples(heardAsIs.segment)), left = loudestLevel(wavSamples(keptOut.segment));
        qInfo("start cue in the recording: %.1f dBFS as heard, %.1f dBFS with the computer's sound kept out", cue, left);
        QVERIFY2(cue > -40, "the microphone does not hear the speaker");
        QVERIFY(left <= cue - 20);
    }
};

QTEST_GUILESS_MAIN(CueTest)
#include "CueTest.moc"
