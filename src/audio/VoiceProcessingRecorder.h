#pragma once

#include "CaptureSession.h"
#include "MeteringWindow.h"
#include "platform/AudioSystem.h"
#include "platform/DictationAudioRecorder.h"
#include "support/Error.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

class MicrophoneVoiceIO;
class VoiceProcessedCapture;

// The recorder of dictations that keep the computer's own sound out. One instance lives as long as
// Murmex and records every segment of every dictation, each as one CaptureSession. It starts on the
// fast microphone capture and, when that fails, retries once on the voice-processed stream (the
// "engine"). Starting blocks until the first buffer is in the file (at most 3 s).
//
// Locks: engineMutationLock (recursive) serialises building, starting, stopping and rebuilding;
// stateLock guards the fields read by the controller's metering; take them in that order.
class VoiceProcessingRecorder final : public DictationAudioRecorder, public std::enable_shared_from_this<VoiceProcessingRecorder> {
public:
    using CancellationCheck = std::function<bool()>;

    VoiceProcessingRecorder(AudioSystem &audioSystem, bool excludesComputerAudio);
    ~VoiceProcessingRecorder() override;

    // Records into `segmentFile` until stop(); the native attempt first, then one engine attempt.
    [[nodiscard]] Expected<void> startRecording(const QString &segmentFile, const CancellationCheck &isStartupCancelled);
    // Builds the ring's slots ahead of the first dictation.
    void prewarm();

    // DictationAudioRecorder.
    bool isRecording() const override;
    double currentTime() const override;
    void stop() override;
    void updateMeters() override {} // the writer meters continuously
    float averagePower(int channel) const override;
    float peakPower(int channel) const override;
    void setOnUnexpectedStop(std::function<void()> handler) override;
    bool ranOutOfDiskSpace() const override;

    // Plays the start cue on the fast capture's own output, once the current session has written its
    // first buffer; false when there is no such capture or it cannot play the cue now.
    bool tryPlayStartCue();

    bool excludesComputerAudio() const { return excludesComputerAudio_; }
    // Observation for tests and benchmarks.
    bool isOnNativeInput() const;
    int rebuildCount() const;

    static Error errorWithCode(int code);

private:
    [[nodiscard]] Expected<void> startSessionLocked(const QString &segmentFile, const CancellationCheck &isStartupCancelled, bool preferNative);
    void stopSessionLocked();
    void rebuildEngineLocked();
    void forgetEngineLocked();
    std::shared_ptr<CaptureSession::Slots> bufferSlotsLocked();
    [[nodiscard]] Expected<void> waitForFirstWrittenBuffer(CaptureSession &session, const CancellationCheck &isStartupCancelled);
    void installConfigurationObserverLocked(const std::shared_ptr<CaptureSession> &session);
    void removeConfigurationObserverLocked();
    void reportUnexpectedStop(const std::weak_ptr<CaptureSession> &session);
    void markSessionStarted(const std::shared_ptr<CaptureSession> &session);
    std::unique_ptr<VoiceProcessedCapture> makeEngine();

    AudioSystem &audioSystem;
    const bool excludesComputerAudio_;

    mutable std::recursive_mutex engineMutationLock;
    mutable std::mutex stateLock;

    std::function<void()> onUnexpectedStop;
    std::unique_ptr<VoiceProcessedCapture> engine;
    std::atomic<CaptureSession *> engineSession{nullptr}; // the session the engine feeds
    std::unique_ptr<MicrophoneVoiceIO> nativeInput;
    int configurationObserver = -1;
    bool voiceProcessingGraphConfigured = false;
    bool requiresEngineRebuild = false;
    std::optional<QString> configuredInputDevice;
    std::optional<QString> configuredOutputDevice;
    std::optional<quint32> configuredInputSampleRate;
    std::optional<quint32> configuredOutputSampleRate;
    int rebuilds = 0;

    // Guarded by stateLock.
    std::shared_ptr<CaptureSession> activeSession;
    std::optional<std::chrono::steady_clock::time_point> startedAt;
    bool recording = false;
    bool failureReported = false;
    bool stoppedForLackOfDiskSpace = false; // the last session's, until the next one starts
    float averagePowerValue = MeteringWindow::initialLevel;
    float peakPowerValue = MeteringWindow::initialLevel;

    std::shared_ptr<CaptureSession::Slots> reusableBufferSlots;
};
