// The capture ring and its writer, and the voice-processing recorder's start, retry, cancellation
// and failure handling, against a sound server in memory.

#include "FakeAudioSystem.h"
#include "TestWav.h"
#include "audio/CaptureSession.h"
#include "audio/VoiceProcessingRecorder.h"
#include "support/Log.h"
#include "support/StartupTrace.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <atomic>
#include <chrono>
#include <latch>
#include <mutex>
#include <thread>

namespace {

std::vector<float> tone(quint32 frames, float amplitude = 0.5f)
{
    std::vector<float> samples(frames);
    for (quint32 i = 0; i < frames; ++i)
        samples[i] = amplitude * float(std::sin(2.0 * M_PI * 440.0 * i / 16000.0));
    return samples;
}

// Feeds the fake microphone in real time (10 ms buffers at the device rate) until stopped.
class Feeder {
public:
    Feeder(FakeAudioSystem &audio, float amplitude) : audio(audio)
    {
        worker = std::thread([this, amplitude] {
            const auto buffer = tone(480, amplitude);
            while (!stopping) {
                this->audio.deliver(QString(), buffer);
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
    }
    ~Feeder()
    {
        stopping = true;
        worker.join();
    }

private:
    FakeAudioSystem &audio;
    std::atomic<bool> stopping{false};
    std::thread worker;
};

struct TraceCapture {
    std::mutex mutex;
    QStringList lines;
    TraceCapture()
    {
        StartupTrace::setEnabled(true);
        Log::setSink([this](const QString &line) {
            std::lock_guard lock(mutex);
            lines.append(line.section(QLatin1Char(' '), 2));
        });
    }
    ~TraceCapture()
    {
        Log::setSink({});
        StartupTrace::setEnabled(false);
    }
    QStringList labels()
    {
        std::lock_guard lock(mutex);
        return lines;
    }
};

} // namespace

class RecorderTest : public QObject {
    Q_OBJECT

private slots:
    void ringAndWriter_data();
    void ringAndWriter();
    void fullRingEndsTheSession();
    void startsOnTheMicrophoneAndMeters();
    void failedFirstAttemptRetriesOnceOnTheEngine();
    void noAudioAndCancellation_data();
    void noAudioAndCancellation();
    void deviceChangeStopsOnceAndReports();

private:
    QTemporaryDir folder;
};

// Buffers handed to the ring, then finish(): what reaches the file, and which error ends it.
void RecorderTest::ringAndWriter_data()
{
    QTest::addColumn<int>("goodBuffers");
    QTest::addColumn<quint32>("badFrames");
    QTest::addColumn<int>("badFormat"); // 0 Float32 mono, 1 Int16, 2 two channels
    QTest::addColumn<qint64>("framesInFile");
    QTest::addColumn<int>("error");

    QTest::newRow("one buffer") << 1 << 0u << -1 << qint64(160) << 0;
    QTest::newRow("many buffers") << 200 << 0u << -1 << qint64(200 * 160) << 0;
    QTest::newRow("more buffers than slots, drained") << 600 << 0u << -1 << qint64(600 * 160) << 0;
    QTest::newRow("4096 frames is the limit") << 0 << 4096u << 0 << qint64(4096 + 160) << 0;
    QTest::newRow("4097 frames first") << 0 << 4097u << 0 << qint64(0) << 24;
    QTest::newRow("4097 frames after audio") << 3 << 4097u << 0 << qint64(3 * 160) << 24;
    QTest::newRow("Int16 buffer") << 2 << 160u << 1 << qint64(2 * 160) << 24;
    QTest::newRow("stereo buffer") << 0 << 160u << 2 << qint64(0) << 24;
}

void RecorderTest::ringAndWriter()
{
    QFETCH(int, goodBuffers);
    QFETCH(quint32, badFrames);
    QFETCH(int, badFormat);
    QFETCH(qint64, framesInFile);
    QFETCH(int, error);

    const QString path = folder.filePath(QStringLiteral("ring-%1.wav").arg(QTest::currentDataTag()));
    auto file = WavFileWriter::create(path, 16000);
    QVERIFY(file);
    CaptureSession session(CaptureSession::makeSlots(), std::move(*file));
    std::atomic<int> failures{0};
    session.onFailure = [&] { ++failures; };
    session.startWriter();

    const auto buffer = tone(160);
    for (int i = 0; i < goodBuffers; ++i) {
        session.enqueue({buffer.data(), 160, SampleFormat::float32, 1});
        if (i % 200 == 199)
            std::this_thread::sleep_for(std::chrono::milliseconds(20)); // let the writer catch up
    }
    if (badFrames > 0) {
        const auto big = tone(badFrames);
        const std::vector<qint16> integers(badFrames);
        if (badFormat == 1)
            session.enqueue({integers.data(), badFrames, SampleFormat::int16, 1});
        else
            session.enqueue({big.data(), badFormat == 2 ? badFrames / 2 : badFrames, SampleFormat::float32, quint8(badFormat == 2 ? 2 : 1)});
        session.enqueue({buffer.data(), 160, SampleFormat::float32, 1}); // after a loss nothing more is taken
    }
    QVERIFY(session.waitForStartupResolution(2000) || (goodBuffers == 0 && badFrames == 0));
    session.finish();

    QCOMPARE(wavFrames(path), framesInFile);
    QCOMPARE(failures.load(), error == 0 ? 0 : 1);
    if (error != 0 && goodBuffers == 0)
        QCOMPARE(session.startupError()->code, error);
    QCOMPARE(session.didWriteFirstBuffer(), framesInFile > 0);
}

void RecorderTest::fullRingEndsTheSession()
{
    const QString path = folder.filePath(QStringLiteral("full.wav"));
    auto file = WavFileWriter::create(path, 16000);
    QVERIFY(file);
    CaptureSession session(CaptureSession::makeSlots(), std::move(*file));
    std::latch writerMayGo(1);
    std::atomic<int> failures{0};
    // The writer blocks on its first buffer while the producer runs ahead by the whole ring.
    session.onConvertedBuffer = [&](const qint16 *, quint32) { writerMayGo.wait(); };
    session.onFailure = [&] { ++failures; };
    session.startWriter();
    const auto buffer = tone(160);
    for (int i = 0; i < CaptureSession::slotCount + 10; ++i)
        session.enqueue({buffer.data(), 160, SampleFormat::float32, 1});
    writerMayGo.count_down();
    session.finish();
    QCOMPARE(failures.load(), 1);
    // Everything published before the ring filled is in the file: 255 slots.
    QCOMPARE(wavFrames(path), qint64(CaptureSession::slotCount - 1) * 160);
}

void RecorderTest::startsOnTheMicrophoneAndMeters()
{
    FakeAudioSystem audio;
    auto recorder = std::make_shared<VoiceProcessingRecorder>(audio, true);
    QCOMPARE(recorder->averagePower(0), -160.0f);
    const QString path = folder.filePath(QStringLiteral("native.wav"));
    {
        Feeder feeder(audio, 0.0f); // silence
        QVERIFY(recorder->startRecording(path, {}));
        QVERIFY(recorder->isRecording());
        QVERIFY(recorder->isOnNativeInput());
        QCOMPARE(audio.openedDevices(), QStringList{QStringLiteral("fake-mic")});
        QTRY_COMPARE_WITH_TIMEOUT(recorder->averagePower(0), -140.0f, 2000);
        QCOMPARE(recorder->peakPower(0), -140.0f);
    }
    {
        Feeder feeder(audio, 0.5f);
        QTRY_VERIFY_WITH_TIMEOUT(recorder->averagePower(0) > -10.0f, 2000);
        QVERIFY(recorder->peakPower(0) > -7.0f && recorder->peakPower(0) <= 0.0f);
        recorder->stop();
    }
    QVERIFY(!recorder->isRecording());
    QCOMPARE(audio.runningStreams(), 0);
    QVERIFY(wavFrames(path) > 0);
}

void RecorderTest::failedFirstAttemptRetriesOnceOnTheEngine()
{
    TraceCapture traces;
    FakeAudioSystem audio;
    audio.failOpening(QString(), 2); // neither fast capture nor its voice-processed fallback opens
    auto recorder = std::make_shared<VoiceProcessingRecorder>(audio, true);
    Feeder feeder(audio, 0.3f);
    const auto started = recorder->startRecording(folder.filePath(QStringLiteral("engine.wav")), {});
    QVERIFY2(started, started ? "" : qPrintable(started.error().description));
    QVERIFY(!recorder->isOnNativeInput());
    QVERIFY(audio.openedDevices().contains(QStringLiteral("fake-speaker.monitor"))); // the echo reference
    const QStringList labels = traces.labels();
    QCOMPARE(labels.count(QStringLiteral("engine-start-retry-5")), 1);
    QVERIFY(labels.indexOf(QStringLiteral("engine-start-retry-5")) < labels.lastIndexOf(QStringLiteral("engine-started")));
    QCOMPARE(labels.count(QStringLiteral("microphone-buffer-written")), 1);
    recorder->stop();
}

void RecorderTest::noAudioAndCancellation_data()
{
    QTest::addColumn<int>("cancelAfterMilliseconds"); // -1: never
    QTest::addColumn<int>("error");
    QTest::newRow("cancelled before the start") << 0 << 22;
    QTest::newRow("cancelled while waiting for audio") << 300 << 22;
    QTest::newRow("no audio within 3 s") << -1 << 23;
}

void RecorderTest::noAudioAndCancellation()
{
    QFETCH(int, cancelAfterMilliseconds);
    QFETCH(int, error);
    FakeAudioSystem audio;
    auto recorder = std::make_shared<VoiceProcessingRecorder>(audio, true);
    std::atomic<bool> cancelled{cancelAfterMilliseconds == 0};
    std::atomic<std::chrono::steady_clock::time_point> cancelledAt{std::chrono::steady_clock::now()};
    std::thread canceller;
    if (cancelAfterMilliseconds > 0)
        canceller = std::thread([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(cancelAfterMilliseconds));
            cancelledAt = std::chrono::steady_clock::now();
            cancelled = true;
        });
    const auto result = recorder->startRecording(folder.filePath(QStringLiteral("silent.wav")), [&] { return cancelled.load(); });
    const auto returnedAt = std::chrono::steady_clock::now();
    if (canceller.joinable())
        canceller.join();
    QVERIFY(!result);
    QCOMPARE(result.error().code, error);
    QVERIFY(!recorder->isRecording());
    QCOMPARE(audio.runningStreams(), 0);
    if (cancelAfterMilliseconds > 0) {
        const auto reaction = std::chrono::duration_cast<std::chrono::milliseconds>(returnedAt - cancelledAt.load()).count();
        qInfo("start-up returned %lld ms after the cancellation", qint64(reaction));
        QVERIFY(reaction < 1000); // polled every 20 ms, not at the 3 s deadline
    }
}

void RecorderTest::deviceChangeStopsOnceAndReports()
{
    FakeAudioSystem audio;
    auto recorder = std::make_shared<VoiceProcessingRecorder>(audio, true);
    std::atomic<int> reports{0};
    Feeder feeder(audio, 0.3f);
    QVERIFY(recorder->startRecording(folder.filePath(QStringLiteral("change.wav")), {}));
    recorder->setOnUnexpectedStop([&] { ++reports; });

    audio.emitEvent({AudioDeviceEvent::Kind::defaultSourceChanged, QStringLiteral("headset"), 16000});
    audio.failStreams(QString()); // and the device itself goes away
    QTRY_COMPARE_WITH_TIMEOUT(reports.load(), 1, 3000);
    QVERIFY(!recorder->isRecording());
    QTest::qWait(100);
    QCOMPARE(reports.load(), 1);
}

QTEST_GUILESS_MAIN(RecorderTest)
#include "RecorderTest.moc"
