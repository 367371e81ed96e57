// PulseAudioSystem against a private PulseAudio server started here: null sinks "spk" (44.1 kHz,
// default), "micfeed" (48 kHz, played into) and "headset", and "mic", a remap of micfeed's monitor
// as the default source: the virtual microphone.

#include "platform/linux/PulseAudioSystem.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <cmath>
#include <csignal>
#include <mutex>
#include <thread>

#include <sys/prctl.h>

using namespace Qt::StringLiterals;
using Kind = AudioDeviceEvent::Kind;

namespace {

constexpr int waitBound = 5000;

bool pactl(const QStringList &arguments)
{
    QProcess process;
    process.start(u"pactl"_s, arguments);
    return process.waitForFinished(waitBound) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

// Starts a program that ends with the test, even when the test crashes or is killed.
void startWithTest(QProcess &process, const QString &program, const QStringList &arguments)
{
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    process.start(program, arguments);
}

void endProcess(QProcess &process)
{
    process.terminate();
    if (!process.waitForFinished(3000))
        process.kill();
    process.waitForFinished(3000);
}

// A null sink renders in blocks as long as the smallest latency its streams ask for, so the silence
// that keeps the microphone running plays with a small latency, a tone with a generous one (a busy
// machine cannot cut gaps in it).
void playIntoMicfeed(QProcess &player, const QString &file, const QString &format, int rate, int channels, int latencyMs)
{
    player.setStandardInputFile(file);
    startWithTest(player, u"pacat"_s, {u"--playback"_s, u"--device=micfeed"_s, u"--raw"_s, u"--format="_s + format, u"--rate=%1"_s.arg(rate),
                                       u"--channels=%1"_s.arg(channels), u"--latency-msec=%1"_s.arg(latencyMs)});
}

// What one Float32 stream delivered (channel 0), kept in memory allocated before it starts.
// `stopped` is set right after stop() returned; a callback after that is a late one.
struct Recording {
    Recording(const CaptureFormat &format, quint32 capacity) : format(format), samples(capacity) {}

    CaptureCallbacks callbacks()
    {
        const auto onAudio = [this](const void *data, quint32 count) {
            lateCalls += stopped;
            for (quint32 frame = 0; frame < count && frames < samples.size(); ++frame, ++frames)
                samples[frames] = static_cast<const float *>(data)[frame * format.channels];
            ++calls;
            if (AudioCaptureStream *stream = stopFromCallback.exchange(nullptr)) {
                stream->stop();
                stopped = true;
            }
        };
        return {onAudio, [](quint32) {}, [this](const QString &) {
                    lateCalls += stopped;
                    ++failures;
                }};
    }

    const CaptureFormat format;
    std::vector<float> samples;
    std::atomic<std::size_t> frames{0};
    std::atomic<int> calls{0}, failures{0}, lateCalls{0};
    std::atomic<bool> stopped{false};
    std::atomic<AudioCaptureStream *> stopFromCallback{nullptr};
};

// The device events one listener received while this object lives.
struct EventLog {
    explicit EventLog(AudioSystem &audio) : audio(audio)
    {
        handle = audio.subscribe([this](const AudioDeviceEvent &event) {
            std::lock_guard guard(mutex);
            events.push_back(event);
        });
    }
    ~EventLog() { audio.unsubscribe(handle); }

    std::vector<AudioDeviceEvent> matching(Kind kind, const QString &device = {}) const
    {
        std::lock_guard guard(mutex);
        std::vector<AudioDeviceEvent> found;
        std::copy_if(events.begin(), events.end(), std::back_inserter(found),
                     [&](const AudioDeviceEvent &event) { return event.kind == kind && (device.isEmpty() || event.device == device); });
        return found;
    }
    int count(Kind kind, const QString &device = {}) const { return int(matching(kind, device).size()); }

    AudioSystem &audio;
    int handle = 0;
    mutable std::mutex mutex;
    std::vector<AudioDeviceEvent> events;
};

QString describe(const std::optional<AudioDeviceInfo> &device)
{
    return device ? u"%1 %2 Hz %3 ch"_s.arg(device->name).arg(device->sampleRate).arg(device->channels) : u"none"_s;
}

} // namespace

Q_DECLARE_METATYPE(Kind)

class PulseAudioSystemTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(folder.isValid());
        const QString socket = folder.filePath(u"native"_s);
        QFile script(folder.filePath(u"server.pa"_s));
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write(u"load-module module-native-protocol-unix auth-anonymous=1 socket=%1\n"
                     "load-module module-null-sink sink_name=spk rate=44100\n"
                     "load-module module-null-sink sink_name=micfeed rate=48000\n"
                     "load-module module-null-sink sink_name=headset rate=44100\n"
                     "load-module module-remap-source source_name=mic master=micfeed.monitor\n"
                     "set-default-sink spk\nset-default-source mic\n"_s.arg(socket).toUtf8());
        script.close();
        qputenv("PULSE_SERVER", ("unix:" + socket).toUtf8());

        // A 440 Hz tone at half scale, 16 kHz mono float, four seconds.
        QFile tone(folder.filePath(u"tone.raw"_s));
        QVERIFY(tone.open(QIODevice::WriteOnly));
        for (int i = 0; i < 4 * 16000; ++i) {
            const float sample = 0.5f * float(std::sin(2.0 * M_PI * 440.0 * i / 16000.0));
            tone.write(reinterpret_cast<const char *>(&sample), sizeof sample);
        }
        tone.close();

        QVERIFY2(startServer(), "the private PulseAudio server did not start (see pulseaudio.log)");
        audio = std::make_unique<PulseAudioSystem>();
        // The null sink renders a first block of two seconds before any latency request reaches it,
        // and the first capture waits for it to end. Afterwards the microphone is warm.
        Recording warmUp(mono16k, 16000);
        auto stream = openMic(warmUp);
        QVERIFY(stream);
        QTRY_VERIFY_WITH_TIMEOUT(warmUp.calls > 0, waitBound);
    }

    void cleanupTestCase()
    {
        audio.reset();
        endProcess(silence);
        endProcess(server);
    }

    // Murmex captures Float32 mono: at 16 kHz (the server resamples), and at the microphone's own rate.
    void capture_data()
    {
        QTest::addColumn<quint32>("rate");
        QTest::newRow("16 kHz") << 16000u;
        QTest::newRow("the microphone's own 48 kHz") << 48000u;
    }

    void capture()
    {
        QFETCH(quint32, rate);
        QProcess player;
        playIntoMicfeed(player, folder.filePath(u"tone.raw"_s), u"float32le"_s, 16000, 1, 200);
        Recording recording({SampleFormat::float32, rate, 1}, rate);
        auto stream = openMic(recording);
        QVERIFY(stream && stream->isRunning());
        QCOMPARE(stream->deviceName(), u"mic"_s);
        QCOMPARE(stream->format().sampleRate, rate);
        QCOMPARE(stream->format().channels, quint8(1));
        QTRY_VERIFY_WITH_TIMEOUT(recording.frames == rate, waitBound); // one second
        stream->stop();
        endProcess(player);

        // In the last half second the tone has long reached the microphone. One rise per period
        // shows that the samples come at the rate the stream reports.
        double energy = 0;
        int rises = 0;
        bool low = false;
        for (std::size_t i = rate / 2; i < rate; ++i) {
            const float sample = recording.samples[i];
            energy += double(sample) * sample;
            if (sample < -0.1f)
                low = true;
            else if (sample > 0.1f && std::exchange(low, false))
                ++rises;
        }
        const double rms = std::sqrt(energy / (rate / 2));
        QVERIFY2(rms > 0.2 && rms < 0.5, qPrintable(u"rms %1"_s.arg(rms)));
        QVERIFY2(std::abs(rises * 2 - 440) < 10, qPrintable(u"%1 Hz"_s.arg(rises * 2)));
    }

    void unknownMicrophoneIsRefused()
    {
        Recording recording(mono16k, 16000);
        const auto opened = audio->openCapture(u"no-such-microphone"_s, recording.format, recording.callbacks(), 10);
        QVERIFY(!opened);
        QCOMPARE(opened.error().domain, u"MurmexAudio"_s);
        QCOMPARE(opened.error().code, 5); // PA_ERR_NOENTITY
        QVERIFY(opened.error().description.startsWith(u"No se pudo abrir el micrófono ("_s));
    }

    // Server events come for either default; only the one that changed is announced.
    void deviceEvents_data()
    {
        QTest::addColumn<QStringList>("change"); // then the same with `restore` as its last argument
        QTest::addColumn<QString>("restore");
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<quint32>("rate");
        QTest::addColumn<Kind>("unchangedDefault");
        QTest::newRow("default source set to a monitor")
            << QStringList{"set-default-source", "micfeed.monitor"} << u"mic"_s << Kind::defaultSourceChanged << 0u << Kind::defaultSinkChanged;
        // Not micfeed: the server moves the streams of the old default sink to the new one, even our
        // silence, although it named its sink.
        QTest::newRow("default sink") << QStringList{"set-default-sink", "headset"} << u"spk"_s << Kind::defaultSinkChanged << 0u << Kind::defaultSourceChanged;
        QTest::newRow("source volume") << QStringList{"set-source-volume", "mic", "50%"} << u"100%"_s << Kind::sourceChanged << 48000u
                                       << Kind::defaultSourceChanged;
        QTest::newRow("sink volume") << QStringList{"set-sink-volume", "spk", "50%"} << u"100%"_s << Kind::sinkChanged << 44100u << Kind::defaultSinkChanged;
    }

    void deviceEvents()
    {
        QFETCH(QStringList, change);
        QFETCH(QString, restore);
        QFETCH(Kind, kind);
        QFETCH(quint32, rate);
        QFETCH(Kind, unchangedDefault);
        const QString device = change.at(1);

        EventLog observed(*audio);
        QVERIFY(pactl(change));
        QTRY_COMPARE_WITH_TIMEOUT(observed.count(kind, device), 1, waitBound);
        QCOMPARE(observed.matching(kind, device).front().sampleRate, rate);
        QVERIFY(pactl(change.mid(0, change.size() - 1) << restore));
        QTRY_COMPARE_WITH_TIMEOUT(observed.count(kind), 2, waitBound);
        QCOMPARE(observed.count(unchangedDefault), 0);
    }

    // Stopped from another thread or from its own audio callback, a stream calls back no more, while
    // a second stream on the same source shows that audio kept flowing.
    void stopEndsCallbacks_data()
    {
        QTest::addColumn<bool>("fromCallback");
        QTest::newRow("from another thread") << false;
        QTest::newRow("from its own audio callback") << true;
    }

    void stopEndsCallbacks()
    {
        QFETCH(bool, fromCallback);
        for (int round = 0; round < 5; ++round) {
            Recording recording(mono16k, 16000), witness(mono16k, 16000);
            auto stream = openMic(recording);
            auto witnessStream = openMic(witness);
            QVERIFY(stream && witnessStream);
            QTRY_VERIFY_WITH_TIMEOUT(recording.calls > 0, waitBound);
            if (fromCallback) {
                recording.stopFromCallback = stream.get();
                QTRY_VERIFY_WITH_TIMEOUT(recording.stopped, waitBound);
            } else {
                std::thread([&] {
                    stream->stop();
                    recording.stopped = true;
                }).join();
            }
            QVERIFY(!stream->isRunning());
            const int witnessed = witness.calls;
            QTRY_VERIFY_WITH_TIMEOUT(witness.calls >= witnessed + 10, waitBound);
            QCOMPARE(recording.lateCalls.load(), 0);
            QCOMPARE(recording.failures.load(), 0);
        }
    }

    void lostServerIsReconnected()
    {
        EventLog events(*audio);
        Recording recording(mono16k, 16000);
        auto stream = openMic(recording);
        QVERIFY(stream);

        endProcess(silence);
        endProcess(server);
        QTRY_COMPARE_WITH_TIMEOUT(events.count(Kind::serverLost), 1, waitBound);
        QTRY_COMPARE_WITH_TIMEOUT(recording.failures.load(), 1, waitBound);

        // Without a server every call answers at once, a fresh object's construction included.
        QElapsedTimer answering;
        answering.start();
        QCOMPARE(describe(audio->defaultSource()), u"none"_s);
        Recording unopened(mono16k, 1);
        const auto refused = audio->openCapture({}, mono16k, unopened.callbacks(), 10);
        QVERIFY(!refused);
        QVERIFY(refused.error().code != 27); // a failed connection, not a missing default device
        QCOMPARE(describe(PulseAudioSystem().defaultSink()), u"none"_s);
        QVERIFY2(answering.elapsed() < 3000, qPrintable(u"%1 ms"_s.arg(answering.elapsed())));

        // The next call after the server is back connects again, and events flow again.
        QVERIFY(startServer());
        QCOMPARE(describe(audio->defaultSource()), u"mic 48000 Hz 2 ch"_s);
        QCOMPARE(describe(audio->defaultSink()), u"spk 44100 Hz 2 ch"_s);
        QVERIFY(pactl({u"set-default-sink"_s, u"headset"_s}));
        QTRY_COMPARE_WITH_TIMEOUT(events.count(Kind::defaultSinkChanged, u"headset"_s), 1, waitBound);
        QCOMPARE(events.count(Kind::serverLost), 1);
        QCOMPARE(recording.failures.load(), 1);
    }

private:
    bool startServer()
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(u"PULSE_SERVER"_s);
        for (const QString &variable : {u"HOME"_s, u"PULSE_RUNTIME_PATH"_s, u"PULSE_STATE_PATH"_s})
            environment.insert(variable, folder.filePath(variable));
        server.setProcessEnvironment(environment);
        server.setStandardOutputFile(folder.filePath(u"pulseaudio.log"_s), QIODevice::Append);
        server.setStandardErrorFile(folder.filePath(u"pulseaudio.log"_s), QIODevice::Append);
        startWithTest(server, u"pulseaudio"_s, {u"-n"_s, u"--daemonize=no"_s, u"--exit-idle-time=-1"_s, u"--disallow-exit"_s, u"--use-pid-file=no"_s,
                                                u"-F"_s, folder.filePath(u"server.pa"_s)});
        if (!server.waitForStarted(waitBound))
            return false;
        for (const QDeadlineTimer deadline(10000); !pactl({u"info"_s}); QTest::qWait(50))
            if (deadline.hasExpired() || server.state() == QProcess::NotRunning)
                return false;
        playIntoMicfeed(silence, u"/dev/zero"_s, u"s16le"_s, 48000, 2, 20);
        return silence.waitForStarted(waitBound);
    }
    std::unique_ptr<AudioCaptureStream> openMic(Recording &recording)
    {
        auto opened = audio->openCapture({}, recording.format, recording.callbacks(), 10);
        if (!opened)
            qWarning("openCapture: %d %s", opened.error().code, qPrintable(opened.error().description));
        return opened ? std::move(*opened) : nullptr;
    }

    QTemporaryDir folder;
    QProcess server, silence;
    std::unique_ptr<PulseAudioSystem> audio;
    const CaptureFormat mono16k{SampleFormat::float32, 16000, 1};
};

QTEST_GUILESS_MAIN(PulseAudioSystemTest)
#include "PulseAudioSystemTest.moc"
