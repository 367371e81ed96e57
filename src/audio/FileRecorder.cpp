#include "FileRecorder.h"

#include "support/Log.h"
#include "support/StartupTrace.h"

#include <QCoreApplication>
#include <QFile>

namespace {
// The server delivers 10 ms fragments, one per slot: 128 slots give the writer 1.28 s of room, so
// a writer held up by a busy disk or machine does not cut the recording (about 3 MB of slots).
constexpr int ringSlots = 128;
constexpr int fragmentMilliseconds = 10;

Error startError()
{
    return Error{QStringLiteral("Murmex"), 3, QStringLiteral("No se pudo iniciar el micrófono.")};
}
} // namespace

Expected<std::shared_ptr<FileRecorder>> FileRecorder::start(AudioSystem &audioSystem, const QString &segmentFile)
{
    auto file = WavFileWriter::create(segmentFile, CaptureSession::sampleRate);
    if (!file) {
        Log::write(QStringLiteral("[MurmexAudio] %1").arg(file.error().description));
        return std::unexpected(startError());
    }
    std::shared_ptr<FileRecorder> recorder(new FileRecorder());
    auto session = std::make_shared<CaptureSession>(CaptureSession::makeSlots(ringSlots), std::move(*file));
    auto window = std::make_shared<MeteringWindow>(true);
    std::weak_ptr<FileRecorder> weak = recorder;
    session->onConvertedBuffer = [weak, window](const qint16 *samples, quint32 frames) {
        const auto levels = window->add(samples, frames);
        if (!levels)
            return;
        if (auto self = weak.lock()) {
            std::lock_guard guard(self->stateLock);
            self->averagePowerValue = levels->average;
            self->peakPowerValue = levels->peak;
        }
    };
    session->onFailure = [weak, failed = session.get()] {
        if (auto self = weak.lock())
            self->onFailure(failed->ranOutOfDiskSpace());
    };
    session->startWriter();

    CaptureSession *producer = session.get();
    CaptureCallbacks callbacks;
    callbacks.onAudio = [producer](const void *samples, quint32 frames) {
        producer->enqueue(CaptureSession::Buffer{samples, frames, SampleFormat::float32, 1});
    };
    callbacks.onFailure = [producer](const QString &) { producer->failProducer(); };
    auto stream = audioSystem.openCapture(QString(), {SampleFormat::float32, quint32(CaptureSession::sampleRate), 1}, std::move(callbacks),
                                          fragmentMilliseconds);
    if (!stream) {
        Log::write(QStringLiteral("[MurmexAudio] %1").arg(stream.error().description));
        session->finish();
        QFile::remove(segmentFile);
        return std::unexpected(startError());
    }
    std::lock_guard guard(recorder->stateLock);
    recorder->stream = std::move(*stream);
    recorder->session = std::move(session);
    recorder->recording = true;
    recorder->startedAt = std::chrono::steady_clock::now();
    return recorder;
}

FileRecorder::~FileRecorder()
{
    stop();
}

void FileRecorder::onFailure(bool outOfDiskSpace)
{
    {
        std::lock_guard guard(stateLock);
        if (!recording || failureReported)
            return;
        failureReported = true;
        stoppedForLackOfDiskSpace = outOfDiskSpace;
    }
    Log::write(outOfDiskSpace ? QStringLiteral("[MurmexAudio] Disco lleno: la grabación se detuvo.")
                              : QStringLiteral("[MurmexAudio] La grabación del micrófono se detuvo sola."));
    // The writer thread reports this; stopping waits for that thread, so it happens on the main one.
    std::weak_ptr<FileRecorder> weak = weak_from_this();
    QMetaObject::invokeMethod(QCoreApplication::instance(), [weak] {
        auto self = weak.lock();
        if (!self)
            return;
        std::function<void()> handler;
        {
            std::lock_guard guard(self->stateLock);
            handler = std::move(self->onUnexpectedStop);
            self->onUnexpectedStop = nullptr;
        }
        self->stop();
        if (handler)
            handler();
    }, Qt::QueuedConnection);
}

bool FileRecorder::isRecording() const
{
    std::lock_guard guard(stateLock);
    return recording && stream && stream->isRunning();
}

double FileRecorder::currentTime() const
{
    std::lock_guard guard(stateLock);
    return startedAt ? std::chrono::duration<double>(std::chrono::steady_clock::now() - *startedAt).count() : 0.0;
}

void FileRecorder::stop()
{
    std::unique_ptr<AudioCaptureStream> stoppedStream;
    std::shared_ptr<CaptureSession> finishedSession;
    {
        std::lock_guard guard(stateLock);
        recording = false;
        startedAt.reset();
        stoppedStream = std::move(stream);
        finishedSession = std::move(session);
    }
    if (stoppedStream) {
        stoppedStream->stop();
        traceRecordingStartup(QStringLiteral("recorder-stopped"));
    }
    if (finishedSession)
        finishedSession->finish();
}

float FileRecorder::averagePower(int) const
{
    std::lock_guard guard(stateLock);
    return averagePowerValue;
}

float FileRecorder::peakPower(int) const
{
    std::lock_guard guard(stateLock);
    return peakPowerValue;
}

bool FileRecorder::ranOutOfDiskSpace() const
{
    std::lock_guard guard(stateLock);
    return stoppedForLackOfDiskSpace;
}

void FileRecorder::setOnUnexpectedStop(std::function<void()> handler)
{
    std::lock_guard guard(stateLock);
    onUnexpectedStop = std::move(handler);
}
