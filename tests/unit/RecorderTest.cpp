// The capture ring and its writer, the segment files a recording leaves behind, and the voice-processing
// recorder's start, retry, cancellation and failure handling, against a sound server in memory.

#include "FakeAudioSystem.h"
#include "TestWav.h"
#include "audio/CaptureSession.h"
#include "audio/SegmentFile.h"
#include "audio/VoiceProcessingRecorder.h"
#include "support/Log.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <atomic>
#include <chrono>
#include <latch>
#include <thread>

using namespace Qt::StringLiterals;

namespace {

std::vector<float> tone(quint32 frames)
{
    std::vector<float> samples(frames);
    for (quint32 i = 0; i < frames; ++i)
        samples[i] = 0.5f * float(std::sin(2.0 * M_PI * 440.0 * i / 16000.0));
    return samples;
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A segment of `frames` by the real writer (no file when negative), its header as a killed process leaves
// it if `killed` (RIFF 8, data 0), then `appended`. Returns the file's bytes.
QByteArray writeSegment(const QString &path, int frames, bool killed, const QByteArray &appended)
{
    if (frames >= 0) {
        auto writer = WavFileWriter::create(path, 16000);
        const std::vector<qint16> samples(size_t(frames), 1000);
        if (!writer || (frames > 0 && !(*writer)->write(samples.data(), frames)))
            return {};
    }
    QByteArray bytes = contents(path);
    if (killed) {
        qToLittleEndian<quint32>(8, bytes.data() + 4);
        qToLittleEndian<quint32>(0, bytes.data() + bytes.indexOf("data") + 4);
    }
    bytes += appended;
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() ? bytes : QByteArray();
}

} // namespace

Q_DECLARE_METATYPE(CaptureSession::Buffer)

class RecorderTest : public QObject {
    Q_OBJECT

    QTemporaryDir folder;

    std::shared_ptr<CaptureSession> newSession(const QString &path)
    {
        auto file = WavFileWriter::create(path, 16000);
        return file ? std::make_shared<CaptureSession>(CaptureSession::makeSlots(), std::move(*file)) : nullptr;
    }

private slots:
    // Buffers handed to the ring, then finish(). A buffer the ring cannot take (too long, not Float32 mono) or a
    // full ring ends the session with error 24: what came before is kept, nothing after it.
    void ringAndWriter_data()
    {
        QTest::addColumn<int>("goodBuffers");
        QTest::addColumn<bool>("writerHeld");             // the writer blocks on its first buffer until all are handed over
        QTest::addColumn<CaptureSession::Buffer>("bad"); // then this buffer (of a tone), when it has frames
        QTest::addColumn<qint64>("framesInFile");
        QTest::addColumn<int>("error");

        using Buffer = CaptureSession::Buffer;
        const auto float32 = SampleFormat::float32;
        const int slotCount = CaptureSession::slotCount;
        QTest::newRow("more buffers than slots") << 600 << false << Buffer{} << qint64(600 * 160) << 0;
        QTest::newRow("full ring") << slotCount + 10 << true << Buffer{} << qint64(slotCount - 1) * 160 << 24;
        QTest::newRow("too long a buffer after audio") << 3 << false << Buffer{nullptr, CaptureSession::slotFrames + 1, float32, 1} << qint64(3 * 160) << 24;
        QTest::newRow("Int16 buffer after audio") << 2 << false << Buffer{nullptr, 160, SampleFormat::int16, 1} << qint64(2 * 160) << 24;
        QTest::newRow("stereo buffer first") << 0 << false << Buffer{nullptr, 80, float32, 2} << qint64(0) << 24;
    }

    void ringAndWriter()
    {
        QFETCH(int, goodBuffers);
        QFETCH(bool, writerHeld);
        QFETCH(CaptureSession::Buffer, bad);
        QFETCH(qint64, framesInFile);
        QFETCH(int, error);

        const QString path = folder.filePath(u"ring-%1.wav"_s.arg(QTest::currentDataTag()));
        const auto session = newSession(path);
        QVERIFY(session);
        std::latch writerMayGo(writerHeld ? 1 : 0);
        std::atomic<int> failures{0}, converted{0};
        session->onConvertedBuffer = [&](const qint16 *, quint32) { writerMayGo.wait(); ++converted; };
        session->onFailure = [&] { ++failures; };
        session->startWriter();
        const auto buffer = tone(160);
        for (int i = 0; i < goodBuffers; ++i) {
            // Unless held, the writer catches up now and then, as in real time: the ring wraps around.
            QVERIFY(writerHeld || i % 200 != 0 || QTest::qWaitFor([&] { return converted == i; }, 5000));
            session->enqueue({buffer.data(), 160, SampleFormat::float32, 1});
        }
        if (bad.frames > 0) {
            const auto samples = tone(bad.frames * bad.channels);
            session->enqueue({samples.data(), bad.frames, bad.format, bad.channels});
            session->enqueue({buffer.data(), 160, SampleFormat::float32, 1});
        }
        if (writerHeld)
            writerMayGo.count_down();
        QVERIFY(session->waitForStartupResolution(2000));
        session->finish();

        QCOMPARE(wavFrames(path), framesInFile);
        QCOMPARE(failures.load(), error == 0 ? 0 : 1);
        if (error != 0 && goodBuffers == 0)
            QCOMPARE(session->startupError()->code, error);
        QCOMPARE(session->didWriteFirstBuffer(), framesInFile > 0);
    }

    // A recorder released from inside a writer callback finishes its session there: the writer
    // still writes what was published, closes the file and only then lets the session go.
    void lastOwnerLetsGoOnTheWriterThread()
    {
        const QString path = folder.filePath(u"released-on-writer.wav"_s);
        auto session = newSession(path);
        QVERIFY(session);
        const std::weak_ptr<CaptureSession> watched = session;
        auto lastOwner = std::make_shared<std::shared_ptr<CaptureSession>>(session);
        session->onConvertedBuffer = [lastOwner](const qint16 *, quint32) {
            if (auto released = std::exchange(*lastOwner, nullptr))
                released->finish();
        };
        session->startWriter();
        const auto buffer = tone(160);
        session->enqueue({buffer.data(), 160, SampleFormat::float32, 1});
        session.reset();
        QTRY_VERIFY_WITH_TIMEOUT(watched.expired(), 5000);
        QCOMPARE(wavFrames(path), qint64(160));
    }

    // The fast capture first, else one retry on the engine; both with the speaker's monitor as echo reference. Without
    // audio the start fails after 3 s, or when cancelled (it looks at each step and every 20 ms; a dozen looks).
    void startRecording_data()
    {
        QTest::addColumn<int>("failedOpens");
        QTest::addColumn<bool>("audio");
        QTest::addColumn<bool>("cancelled");
        QTest::addColumn<int>("error"); // 0: recording
        QTest::newRow("fast microphone capture") << 0 << true << false << 0;
        QTest::newRow("first attempt failed, retried on the engine") << 2 << true << false << 0;
        QTest::newRow("cancelled while waiting for audio") << 0 << false << true << 22;
        QTest::newRow("no audio within 3 s") << 0 << false << false << 23;
    }

    void startRecording()
    {
        QFETCH(int, failedOpens);
        QFETCH(bool, audio);
        QFETCH(bool, cancelled);
        QFETCH(int, error);
        FakeAudioSystem system;
        system.failOpening(QString(), failedOpens);
        auto recorder = std::make_shared<VoiceProcessingRecorder>(system, true);
        const QString path = folder.filePath(u"start-%1.wav"_s.arg(QTest::currentDataTag()));
        std::jthread microphone([&](std::stop_token stop) { // 10 ms buffers at the device rate, in real time
            for (const auto buffer = tone(480); audio && !stop.stop_requested(); std::this_thread::sleep_for(std::chrono::milliseconds(10)))
                system.deliver(QString(), buffer);
        });
        std::atomic<int> looks{0};
        const auto started = recorder->startRecording(path, [&] { return cancelled && ++looks > 12; });
        QCOMPARE(started ? 0 : started.error().code, error);
        QCOMPARE(recorder->isRecording(), error == 0);
        if (started) {
            QCOMPARE(recorder->isOnNativeInput(), failedOpens == 0);
            QVERIFY(system.openedDevices().contains(u"fake-speaker.monitor"_s));
            // The tone's levels: about -9 dB, and a few dB less once the engine's processing has settled.
            QTRY_VERIFY_WITH_TIMEOUT(recorder->averagePower(0) > -20.0f, 2000);
            QVERIFY(recorder->peakPower(0) > recorder->averagePower(0) && recorder->peakPower(0) <= 0.0f);
            recorder->stop();
        }
        QVERIFY(!recorder->isRecording());
        QCOMPARE(system.runningStreams(), 0);
        QCOMPARE(wavFrames(path) > 0, error == 0);
    }

    // A segment as a killed recording or a failed write leaves it: the header is set from the file's
    // length, whole frames only. A consistent file, and one that is no WAV, are left byte for byte.
    void repairHeader_data()
    {
        QTest::addColumn<int>("frames");
        QTest::addColumn<bool>("killed");
        QTest::addColumn<QByteArray>("appended");
        QTest::addColumn<int>("result"); // 1 repaired, 0 left as it was, -1 error
        QTest::newRow("killed writer") << 8000 << true << QByteArray() << 1;
        QTest::newRow("trailing odd byte") << 8000 << false << QByteArray("\x01", 1) << 1;
        QTest::newRow("consistent") << 8000 << false << QByteArray() << 0;
        QTest::newRow("header only") << 0 << false << QByteArray() << 0;
        QTest::newRow("not a WAV") << -1 << false << QByteArray("hola, esto no es audio") << -1;
    }

    void repairHeader()
    {
        QFETCH(int, frames);
        QFETCH(bool, killed);
        QFETCH(QByteArray, appended);
        QFETCH(int, result);
        const QString path = folder.filePath(u"repair-%1.wav"_s.arg(QTest::currentDataTag()));
        const QByteArray before = writeSegment(path, frames, killed, appended);
        QVERIFY(!before.isEmpty());
        QCOMPARE(SegmentFile::holdsAudio(path), frames > 0);

        const auto repaired = SegmentFile::repairHeader(path);
        QCOMPARE(repaired ? int(*repaired) : -1, result);
        const QByteArray after = contents(path);
        if (result != 1)
            QCOMPARE(after, before);
        if (frames < 0)
            return;
        QCOMPARE(qFromLittleEndian<quint32>(after.constData() + 4), quint32(after.size() - 8));
        QCOMPARE(qFromLittleEndian<quint32>(after.constData() + after.indexOf("data") + 4), quint32(frames * 2));
        QCOMPARE(qRound(SegmentFile::audioSeconds(path) * 16000), frames);
    }

    // At launch: the segments of every dictation folder only, each repair or failure logged; a failure stays as it is.
    void interruptedRecordingsAreRepaired()
    {
        QTemporaryDir root;
        const QString dictation = root.filePath(u"dictado"_s), killed = dictation + u"/segment-001.wav"_s;
        QVERIFY(QDir().mkpath(dictation));
        QVERIFY(!writeSegment(killed, 8000, true, {}).isEmpty());
        QVERIFY(!writeSegment(dictation + u"/segment-002.wav"_s, 8000, false, {}).isEmpty());
        const QStringList untouched{dictation + u"/segment-003.wav"_s, dictation + u"/notas.wav"_s, root.filePath(u"segment-009.wav"_s)};
        const QList<QByteArray> untouchedBytes{writeSegment(untouched[0], -1, false, "no es audio"), writeSegment(untouched[1], 8000, true, {}),
                                               writeSegment(untouched[2], 8000, true, {})};
        QStringList lines;
        Log::setSink([&](const QString &line) { lines << line; });
        const int repaired = SegmentFile::repairInterruptedRecordings(root.path());
        Log::setSink({});

        QCOMPARE(repaired, 1);
        QCOMPARE(wavFrames(killed), qint64(8000));
        QCOMPARE(lines.size(), 2);
        QVERIFY2(lines[0].contains(killed) && lines[1].contains(untouched[0]), qPrintable(lines.join(u'\n')));
        for (int i = 0; i < untouched.size(); ++i)
            QCOMPARE(contents(untouched[i]), untouchedBytes[i]);
    }
};

QTEST_GUILESS_MAIN(RecorderTest)
#include "RecorderTest.moc"
