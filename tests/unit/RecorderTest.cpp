// The capture ring and its writer, the segment files a recording leaves behind, and the
// voice-processing recorder's start, retry, cancellation and failure handling, against a sound
// server in memory.

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

std::vector<float> tone(quint32 frames, float amplitude = 0.5f)
{
    std::vector<float> samples(frames);
    for (quint32 i = 0; i < frames; ++i)
        samples[i] = amplitude * float(std::sin(2.0 * M_PI * 440.0 * i / 16000.0));
    return samples;
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A segment of `frames` written by the real writer (none at all when negative), left as a killed
// process leaves it if `killed` (header sizes as at the file's creation: RIFF 8, data 0), then with
// `appended` after it. Returns the file's bytes.
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

} // namespace

Q_DECLARE_METATYPE(SampleFormat)

class RecorderTest : public QObject {
    Q_OBJECT

private slots:
    void ringAndWriter_data();
    void ringAndWriter();
    void lastOwnerLetsGoOnTheWriterThread();
    void startsAndMeters_data();
    void startsAndMeters();
    void noAudioAndCancellation_data();
    void noAudioAndCancellation();
    void repairHeader_data();
    void repairHeader();
    void interruptedRecordingsAreRepaired();

private:
    QTemporaryDir folder;
};

// Buffers handed to the ring, then finish(): what reaches the file, and which error ends it. A
// buffer the ring cannot take (too long, not Float32 mono) or a full ring loses audio and ends the
// session; what came before is kept, nothing after it is taken.
void RecorderTest::ringAndWriter_data()
{
    QTest::addColumn<int>("goodBuffers");
    QTest::addColumn<bool>("writerHeld"); // the writer blocks on its first buffer until all are handed over
    QTest::addColumn<quint32>("badFrames"); // then a buffer of these
    QTest::addColumn<SampleFormat>("badFormat");
    QTest::addColumn<quint8>("badChannels");
    QTest::addColumn<qint64>("framesInFile");
    QTest::addColumn<int>("error");

    const auto float32 = SampleFormat::float32;
    QTest::newRow("more buffers than slots") << 600 << false << 0u << float32 << quint8(1) << qint64(600 * 160) << 0;
    QTest::newRow("full ring") << CaptureSession::slotCount + 10 << true << 0u << float32 << quint8(1) << qint64(CaptureSession::slotCount - 1) * 160 << 24;
    QTest::newRow("too long a buffer after audio") << 3 << false << CaptureSession::slotFrames + 1 << float32 << quint8(1) << qint64(3 * 160) << 24;
    QTest::newRow("Int16 buffer after audio") << 2 << false << 160u << SampleFormat::int16 << quint8(1) << qint64(2 * 160) << 24;
    QTest::newRow("stereo buffer first") << 0 << false << 80u << float32 << quint8(2) << qint64(0) << 24;
}

void RecorderTest::ringAndWriter()
{
    QFETCH(int, goodBuffers);
    QFETCH(bool, writerHeld);
    QFETCH(quint32, badFrames);
    QFETCH(SampleFormat, badFormat);
    QFETCH(quint8, badChannels);
    QFETCH(qint64, framesInFile);
    QFETCH(int, error);

    const QString path = folder.filePath(QStringLiteral("ring-%1.wav").arg(QTest::currentDataTag()));
    auto file = WavFileWriter::create(path, 16000);
    QVERIFY(file);
    const auto owned = std::make_shared<CaptureSession>(CaptureSession::makeSlots(), std::move(*file));
    CaptureSession &session = *owned;
    std::latch writerMayGo(writerHeld ? 1 : 0);
    std::atomic<int> failures{0}, converted{0};
    session.onConvertedBuffer = [&](const qint16 *, quint32) {
        writerMayGo.wait();
        ++converted;
    };
    session.onFailure = [&] { ++failures; };
    session.startWriter();

    const auto buffer = tone(160);
    for (int i = 0; i < goodBuffers; ++i) {
        // Unless held, the writer catches up now and then, as in real time: the ring wraps around.
        if (!writerHeld && i % 200 == 0)
            QVERIFY(QTest::qWaitFor([&] { return converted == i; }, 5000));
        session.enqueue({buffer.data(), 160, SampleFormat::float32, 1});
    }
    if (badFrames > 0) {
        const auto bad = tone(badFrames * badChannels);
        session.enqueue({bad.data(), badFrames, badFormat, badChannels});
        session.enqueue({buffer.data(), 160, SampleFormat::float32, 1});
    }
    if (writerHeld)
        writerMayGo.count_down();
    QVERIFY(session.waitForStartupResolution(2000));
    session.finish();

    QCOMPARE(wavFrames(path), framesInFile);
    QCOMPARE(failures.load(), error == 0 ? 0 : 1);
    if (error != 0 && goodBuffers == 0)
        QCOMPARE(session.startupError()->code, error);
    QCOMPARE(session.didWriteFirstBuffer(), framesInFile > 0);
}

// A recorder released from inside a writer callback finishes its session there: the writer still
// writes what was published, closes the file and only then lets the session go.
void RecorderTest::lastOwnerLetsGoOnTheWriterThread()
{
    const QString path = folder.filePath(QStringLiteral("released-on-writer.wav"));
    auto file = WavFileWriter::create(path, 16000);
    QVERIFY(file);
    auto session = std::make_shared<CaptureSession>(CaptureSession::makeSlots(), std::move(*file));
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

// The fast microphone capture first; when neither it nor its voice-processed fallback opens, the
// start is retried once on the engine, with the speaker's monitor as the echo reference.
void RecorderTest::startsAndMeters_data()
{
    QTest::addColumn<int>("failedOpens");
    QTest::addColumn<bool>("nativeInput");
    QTest::newRow("fast microphone capture") << 0 << true;
    QTest::newRow("first attempt failed, retried on the engine") << 2 << false;
}

void RecorderTest::startsAndMeters()
{
    QFETCH(int, failedOpens);
    QFETCH(bool, nativeInput);
    FakeAudioSystem audio;
    audio.failOpening(QString(), failedOpens);
    auto recorder = std::make_shared<VoiceProcessingRecorder>(audio, true);
    const QString path = folder.filePath(QStringLiteral("start-%1.wav").arg(failedOpens));
    {
        Feeder feeder(audio, 0.5f);
        const auto started = recorder->startRecording(path, {});
        QVERIFY2(started, started ? "" : qPrintable(started.error().description));
        QVERIFY(recorder->isRecording());
        QCOMPARE(recorder->isOnNativeInput(), nativeInput);
        QCOMPARE(audio.openedDevices().contains(QStringLiteral("fake-speaker.monitor")), !nativeInput);
        QTRY_VERIFY_WITH_TIMEOUT(recorder->averagePower(0) > -10.0f, 2000);
        QVERIFY(recorder->peakPower(0) > -7.0f && recorder->peakPower(0) <= 0.0f);
        recorder->stop();
    }
    QVERIFY(!recorder->isRecording());
    QCOMPARE(audio.runningStreams(), 0);
    QVERIFY(wavFrames(path) > 0);
}

void RecorderTest::noAudioAndCancellation_data()
{
    QTest::addColumn<bool>("cancelled");
    QTest::addColumn<int>("error");
    QTest::newRow("cancelled while waiting for audio") << true << 22;
    QTest::newRow("no audio within 3 s") << false << 23;
}

void RecorderTest::noAudioAndCancellation()
{
    QFETCH(bool, cancelled);
    QFETCH(int, error);
    FakeAudioSystem audio; // the microphone opens, and no audio ever comes
    auto recorder = std::make_shared<VoiceProcessingRecorder>(audio, true);
    // The start-up looks for a cancellation at each step and while it waits, every 20 ms: the
    // user cancels a dozen looks in, long before the 3 s deadline.
    std::atomic<int> looks{0};
    const auto result = recorder->startRecording(folder.filePath(QStringLiteral("silent.wav")), [&] { return cancelled && ++looks > 12; });
    QVERIFY(!result);
    QCOMPARE(result.error().code, error);
    QVERIFY(!recorder->isRecording());
    QCOMPARE(audio.runningStreams(), 0);
}

// A segment as a killed recording or a failed write leaves it: the header is set from the file's
// length, whole frames only. A consistent file, and one that is no WAV, are left byte for byte.
void RecorderTest::repairHeader_data()
{
    QTest::addColumn<int>("frames");
    QTest::addColumn<bool>("killed");
    QTest::addColumn<QByteArray>("appended");
    QTest::addColumn<int>("result"); // 1 repaired, 0 left as it was, -1 error

    const QByteArray oddByte("\x01", 1);
    QTest::newRow("killed writer") << 8000 << true << QByteArray() << 1;
    QTest::newRow("trailing odd byte") << 8000 << false << oddByte << 1;
    QTest::newRow("consistent") << 8000 << false << QByteArray() << 0;
    QTest::newRow("header only") << 0 << false << QByteArray() << 0;
    QTest::newRow("not a WAV") << -1 << false << QByteArray("hola, esto no es audio") << -1;
}

void RecorderTest::repairHeader()
{
    QFETCH(int, frames);
    QFETCH(bool, killed);
    QFETCH(QByteArray, appended);
    QFETCH(int, result);
    const QString path = folder.filePath(QStringLiteral("repair-%1.wav").arg(QTest::currentDataTag()));
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

// At launch: the segments of every dictation folder, and nothing else, each repair or failure told
// in the log; a file that cannot be repaired stays as it is.
void RecorderTest::interruptedRecordingsAreRepaired()
{
    QTemporaryDir root;
    const QString dictation = root.filePath(QStringLiteral("dictado"));
    QVERIFY(QDir().mkpath(dictation));
    QVERIFY(!writeSegment(dictation + u"/segment-001.wav"_s, 8000, true, {}).isEmpty());
    QVERIFY(!writeSegment(dictation + u"/segment-002.wav"_s, 8000, false, {}).isEmpty());
    const QStringList untouched{dictation + u"/segment-003.wav"_s, dictation + u"/notas.wav"_s, root.filePath(QStringLiteral("segment-009.wav"))};
    QList<QByteArray> untouchedBytes{writeSegment(untouched[0], -1, false, "no es audio"), writeSegment(untouched[1], 8000, true, {}),
                                     writeSegment(untouched[2], 8000, true, {})};
    QStringList lines;
    Log::setSink([&](const QString &line) { lines << line; });
    const int repaired = SegmentFile::repairInterruptedRecordings(root.path());
    Log::setSink({});

    QCOMPARE(repaired, 1);
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines[0], u"[MurmexRecording] Segmento reparado tras un cierre inesperado: %1/segment-001.wav (0.5 s)"_s.arg(dictation));
    QVERIFY2(lines[1].contains(untouched[0]), qPrintable(lines[1]));
    for (int i = 0; i < untouched.size(); ++i)
        QCOMPARE(contents(untouched[i]), untouchedBytes[i]);
}

QTEST_GUILESS_MAIN(RecorderTest)
#include "RecorderTest.moc"
