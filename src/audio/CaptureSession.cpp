#include "CaptureSession.h"

#include "support/StartupTrace.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

std::shared_ptr<CaptureSession::Slots> CaptureSession::makeSlots(int count)
{
    return std::make_shared<Slots>(size_t(count));
}

CaptureSession::CaptureSession(std::shared_ptr<Slots> ring, std::unique_ptr<WavFileWriter> file)
    : ring(std::move(ring)), file(std::move(file))
{
}

CaptureSession::~CaptureSession()
{
    finish();
}

Error CaptureSession::processingError()
{
    return Error{QStringLiteral("Murmex"), 24, QStringLiteral("El audio no pudo procesarse a tiempo.")};
}

bool CaptureSession::setFlag(std::atomic<int> &flag) noexcept
{
    int expected = 0;
    return flag.compare_exchange_strong(expected, 1);
}

void CaptureSession::enqueue(const Buffer &buffer) noexcept
{
    activeCallbacks.fetch_add(1);
    if (producerDisabled.load() == 0) {
        const int w = writeIndex.load();
        const int next = (w + 1) % ringSize();
        const bool usable = buffer.frames <= slotFrames && buffer.format == SampleFormat::float32 && buffer.channels == 1
            && (buffer.data != nullptr || buffer.frames == 0);
        if (next == readIndex.load() || !usable) {
            // The ring is full or the buffer cannot be taken: audio is lost.
            setFlag(producerDisabled);
            setFlag(producerFailure);
            readySlots.release();
        } else {
            Slot &slot = (*ring)[size_t(w)];
            slot.kind = Slot::Kind::audio;
            slot.frames = buffer.frames;
            if (buffer.frames > 0)
                std::memcpy(slot.input.data(), buffer.data, size_t(buffer.frames) * sizeof(float));
            writeIndex.store(next);
            readySlots.release();
        }
    }
    activeCallbacks.fetch_sub(1);
}

void CaptureSession::failProducer() noexcept
{
    setFlag(producerDisabled);
    setFlag(producerFailure);
    readySlots.release();
}

void CaptureSession::startWriter()
{
    if (writer.joinable())
        return;
    // The writer holds the session: an owner that lets go of it from inside a writer callback (its
    // last reference dropped on this thread) cannot destroy it under the running loop.
    writer = std::thread([self = shared_from_this()] { self->writerLoop(); });
    pthread_setname_np(writer.native_handle(), "audio-writer");
}

void CaptureSession::writerLoop()
{
    bool failed = false;
    for (;;) {
        readySlots.acquire();
        // Slots published before the producer lost audio are written first: a loss ends the
        // session but never throws away what was already captured.
        if (readIndex.load() == writeIndex.load()) {
            if (endRequestedOnWriter.load()) { // finished from a callback of this thread
                file->close();
                return;
            }
            int expected = 1;
            if (producerFailure.compare_exchange_strong(expected, 0) && !failed) {
                reportFailure(processingError());
                failed = true;
            }
            continue;
        }
        const int index = readIndex.load();
        Slot &slot = (*ring)[size_t(index)];
        const bool endOfStream = slot.kind == Slot::Kind::endOfStream;
        if (!endOfStream && !failed) {
            if (auto written = convertAndWrite(slot); !written) {
                diskFull.store(WavFileWriter::isOutOfSpace(written.error()));
                reportFailure(written.error());
                failed = true;
            }
        }
        readIndex.store((index + 1) % ringSize());
        if (endOfStream) {
            int expected = 1;
            if (producerFailure.compare_exchange_strong(expected, 0) && !failed)
                reportFailure(processingError()); // lost just before the end: still reported
            writerFinished.release();
            return;
        }
    }
}

Expected<void> CaptureSession::convertAndWrite(Slot &slot)
{
    for (quint32 i = 0; i < slot.frames; ++i) {
        const float sample = std::clamp(slot.input[i], -1.0f, 1.0f);
        slot.output[i] = qint16(std::lrint(sample * 32767.0f));
    }
    if (slot.frames == 0)
        return {};
    if (onConvertedBuffer)
        onConvertedBuffer(slot.output.data(), slot.frames);
    if (auto written = file->write(slot.output.data(), slot.frames); !written)
        return written;
    std::lock_guard lock(readinessLock);
    if (!firstBufferWritten && !startupFailure) {
        firstBufferWritten = true;
        startupResolved.release();
    }
    return {};
}

void CaptureSession::reportFailure(const Error &error)
{
    {
        std::lock_guard lock(readinessLock);
        if (!firstBufferWritten && !startupFailure) {
            startupFailure = error;
            startupResolved.release();
        }
    }
    if (onFailure)
        onFailure();
}

void CaptureSession::finish()
{
    if (finished)
        return;
    finished = true;
    producerDisabled.store(1);
    while (activeCallbacks.load() != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (writer.joinable() && writer.get_id() == std::this_thread::get_id()) {
        // Finishing from inside a writer callback: the writer cannot wait for itself. It writes
        // what is published, closes the file and ends by itself, keeping the session alive so long.
        endRequestedOnWriter.store(true);
        readySlots.release();
        writer.detach();
        return;
    }
    if (writer.joinable()) {
        // Wait for a free slot: the writer keeps draining even after a failure.
        while ((writeIndex.load() + 1) % ringSize() == readIndex.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const int w = writeIndex.load();
        (*ring)[size_t(w)].kind = Slot::Kind::endOfStream;
        writeIndex.store((w + 1) % ringSize());
        readySlots.release();
        writerFinished.acquire();
        writer.join();
    }
    // Slots are reused by the next session: leave none marked as the end.
    for (Slot &slot : *ring)
        slot.kind = Slot::Kind::audio;
    if (file) {
        file->close();
        traceRecordingStartup(QStringLiteral("segment-closed"));
    }
}

bool CaptureSession::waitForStartupResolution(int milliseconds)
{
    return startupResolved.try_acquire_for(std::chrono::milliseconds(milliseconds));
}

bool CaptureSession::didWriteFirstBuffer() const
{
    std::lock_guard lock(readinessLock);
    return firstBufferWritten;
}

std::optional<Error> CaptureSession::startupError() const
{
    std::lock_guard lock(readinessLock);
    return startupFailure;
}
