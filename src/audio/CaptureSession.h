#pragma once

#include "WavFileWriter.h"
#include "platform/AudioSystem.h"
#include "support/Error.h"

#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <semaphore>
#include <thread>
#include <vector>

// One captured segment: a lock-free ring of preallocated slots between the audio thread (the
// producer) and a writer thread (the consumer), which converts to 16-bit samples and writes the WAV
// file. The producer never allocates, locks or touches the file system.
class CaptureSession : public std::enable_shared_from_this<CaptureSession> {
public:
    static constexpr int slotCount = 256;
    static constexpr quint32 slotFrames = 4096;
    static constexpr int sampleRate = 16000;

    struct Slot {
        enum class Kind { audio, endOfStream };
        std::vector<float> input = std::vector<float>(slotFrames);
        std::vector<qint16> output = std::vector<qint16>(slotFrames + 32);
        quint32 frames = 0;
        Kind kind = Kind::audio;
    };
    // The slots of the ring, built once and reused by every later session (one session at a time).
    using Slots = std::vector<Slot>;
    static std::shared_ptr<Slots> makeSlots(int count = slotCount);

    // One buffer as the producer hands it over.
    struct Buffer {
        const void *data = nullptr;
        quint32 frames = 0;
        SampleFormat format = SampleFormat::float32;
        quint8 channels = 1;
    };

    // Always held by a shared pointer. The running writer keeps the session alive, so its owner
    // must finish() it (stopping the writer) before letting go.
    CaptureSession(std::shared_ptr<Slots> ring, std::unique_ptr<WavFileWriter> file);
    ~CaptureSession(); // finishes the session if that has not happened

    // Writer-thread callbacks, set before startWriter().
    std::function<void(const qint16 *samples, quint32 frames)> onConvertedBuffer;
    std::function<void()> onFailure;

    void startWriter();

    // Producer side (audio thread). A buffer over 4096 frames, or not Float32 mono, or a full ring
    // loses audio: the writer then ends the session with error 24.
    void enqueue(const Buffer &buffer) noexcept;
    // The producer lost its audio source (device gone, stream failed).
    void failProducer() noexcept;

    // Stops accepting audio, waits for producers inside enqueue() to leave, then for the writer to
    // write every published slot. The file is complete when this returns.
    void finish();

    // Resolved when the first converted buffer is written, or a start-up error is recorded.
    [[nodiscard]] bool waitForStartupResolution(int milliseconds);
    bool didWriteFirstBuffer() const;
    std::optional<Error> startupError() const;
    // Whether the session ended because its file could not grow (disk or quota full, size limit).
    bool ranOutOfDiskSpace() const { return diskFull.load(); }

    static Error processingError(); // code 24

private:
    void writerLoop();
    [[nodiscard]] Expected<void> convertAndWrite(Slot &slot);
    void reportFailure(const Error &error);
    bool setFlag(std::atomic<int> &flag) noexcept;
    int ringSize() const noexcept { return int(ring->size()); }

    std::shared_ptr<Slots> ring;
    std::unique_ptr<WavFileWriter> file;

    std::atomic<int> writeIndex{0};
    std::atomic<int> readIndex{0};
    std::atomic<int> activeCallbacks{0};
    std::atomic<int> producerDisabled{0};
    std::atomic<int> producerFailure{0};
    std::atomic<bool> endRequestedOnWriter{false};
    std::atomic<bool> diskFull{false}; // set by the writer before it reports the failure
    std::counting_semaphore<> readySlots{0};
    std::counting_semaphore<> writerFinished{0};
    std::counting_semaphore<> startupResolved{0};

    mutable std::mutex readinessLock;
    bool firstBufferWritten = false;
    std::optional<Error> startupFailure;

    std::thread writer;
    bool finished = false;
};
