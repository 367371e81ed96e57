#pragma once

#include "CaptureSession.h"
#include "platform/AudioSystem.h"
#include "support/Error.h"

#include <QString>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class SampleRateConverter;
class VoiceProcessedCapture;
class VoiceProcessor;

// Fast microphone capture for one recording session. It starts on the default source at the
// device's own rate (the quickest way to the first buffer), converts to 16 kHz Float32 mono with a
// converter prepared before capture starts, and watches the input's health: the default source
// changing, its rate changing, the source going away, or more than 3 s without input are reported
// through onFailure. When that capture cannot start, the voice-processed stream is used instead.
//
// What the computer plays is kept out from the first buffer: an echo canceller, with the default
// sink's monitor as its far end, is started just before the microphone (without a monitor the
// microphone is recorded as it is). The capture also owns the start cue's playback stream, made
// as soon as capture runs and holding the decoded start sound, corked, until tryPlayStartCue().
class MicrophoneVoiceIO {
public:
    using BufferCallback = std::function<void(const CaptureSession::Buffer &)>;

    static constexpr qint64 silenceLimitNanoseconds = 3'000'000'000;
    static constexpr int healthIntervalMilliseconds = 250;
    static constexpr qint64 holeThresholdFrames = 5;

    MicrophoneVoiceIO(AudioSystem &audioSystem, BufferCallback onBuffer, std::function<void()> onFailure);
    ~MicrophoneVoiceIO();

    [[nodiscard]] Expected<void> start(const std::function<bool()> &isCancelled);
    void stop();
    bool isRunning() const { return running.load(); }

    // Starts the start cue on the capture's own playback stream: false unless capture runs and the
    // stream holds the sound, ready to play. At most once per capture. With start-up tracing on,
    // the moment its first sample went out is traced ("native-cue-first-output") 0.1 s later.
    bool tryPlayStartCue();

    // Observation (tests and benchmarks).
    bool usesVoiceProcessing() const { return voiceCapture != nullptr; }
    double deviceRate() const { return bootstrapDeviceRate; }
    qint64 holeFrames() const { return bootstrapHoleFrames.load(); }
    qint64 deviceFrames() const { return bootstrapDeviceFrames.load(); }
    qint64 outputFrames() const { return bootstrapOutputFrames.load(); }

    // Frames at 16 kHz that a hole of `deviceFrames` frames at `deviceRate` stands for.
    static qint64 missingFrames(qint64 deviceFrames, double deviceRate);

private:
    [[nodiscard]] Expected<void> startBootstrap(const std::function<bool()> &isCancelled);
    [[nodiscard]] Expected<void> startVoiceProcessed(const std::function<bool()> &isCancelled);
    void startEchoCancellationLocked();
    bool prepareStartCueLocked();
    void onDeviceAudio(const void *samples, quint32 frames) noexcept;
    void onDeviceHole(quint32 frames) noexcept;
    void reportFailure();
    void startHealthMonitor();
    void stopHealthMonitor();
    void onDeviceEvent(const AudioDeviceEvent &event);
    static qint64 nowNanoseconds();

    AudioSystem &audioSystem;
    BufferCallback onBuffer;
    std::function<void()> onFailure;

    std::mutex lock; // set-up and tear-down; never taken by the audio callbacks
    std::unique_ptr<AudioCaptureStream> bootstrapStream;
    std::unique_ptr<SampleRateConverter> bootstrapConverter;
    std::unique_ptr<VoiceProcessedCapture> voiceCapture;
    std::unique_ptr<VoiceProcessor> echoCanceller;    // fed by the microphone and the far end: stop() ends them first
    std::unique_ptr<AudioCaptureStream> farEndStream; // the default sink's monitor
    std::shared_ptr<AudioCuePlayback> startCue;       // shared with a pending trace of its first output
    std::vector<float> bootstrapBuffer = std::vector<float>(CaptureSession::slotFrames + 64);
    QString deviceName;
    double bootstrapDeviceRate = 0;
    int subscription = -1;

    std::atomic<bool> running{false};
    std::atomic<int> stopped{1};
    std::atomic<qint64> lastInputNanoseconds{0};
    std::atomic<qint64> bootstrapDeviceFrames{0};
    std::atomic<qint64> bootstrapOutputFrames{0};
    std::atomic<qint64> bootstrapHoleFrames{0};
    std::atomic<qint64> bootstrapHoleAtNanoseconds{0};
    std::atomic<int> bootstrapError{0};

    std::thread monitor; // "input-health"
    std::mutex monitorMutex;
    std::condition_variable monitorWake;
    bool monitorStopping = false;
};
