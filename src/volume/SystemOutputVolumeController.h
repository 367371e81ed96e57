#pragma once

#include "OutputVolumeController.h"
#include "platform/OutputVolume.h"

#include <QObject>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>

class Settings;

// The computer's output volume around a recording, on the output device that was the default when
// the recording started:
//
//   no snapshot ──takeOutputVolumeSnapshotIfNeeded──> snapshot held (and written to the defaults)
//   snapshot held ──applyOutputVolumeForRecording──> lowered or muted (percentage below 100)
//   snapshot held ──restore succeeds──> no snapshot (defaults keys removed)
//   snapshot held ──restore fails──> up to 4 retries 0.25 s apart, then the next restore call
//
// The snapshot is written to the defaults so that a Murmex that ends during a recording does not
// leave the computer quiet: the next launch restores it (restoreVolumeLeftByCrash).
//
//   key                              type     meaning
//   recordingOriginalOutputVolume    integer  the volume found at the start, 0–100
//   recordingOriginalOutputMuted     Bool     whether it was muted
//   recordingOriginalOutputSink      string   the output device it belongs to
//
// Every member runs on the main thread; the retries are timers of this object.
class SystemOutputVolumeController final : public QObject, public OutputVolumeController {
    Q_OBJECT
public:
    // What the controller asks of the dictation. Unset hooks answer 100 %, not blocked, may retry.
    struct Hooks {
        // The user's recording volume percentage, 0–100.
        std::function<int()> recordingVolumePercentage;
        // A recording start-up or a recorder restart is in flight: a restore now would undo the
        // lowering of the recording that is about to run, so it does nothing.
        std::function<bool()> isRecordingStartupInFlight;
        // A delayed retry restores only while the dictation is idle or transcribing; a recording
        // started in between keeps its lowered volume.
        std::function<bool()> mayRetryRestore;
    };

    static constexpr int maximumRestoreRetries = 4;
    static constexpr std::chrono::milliseconds restoreRetryDelay{250};

    SystemOutputVolumeController(OutputVolume &outputVolume, Settings &defaults, Hooks hooks = {}, QObject *parent = nullptr);

    // For an owner made after this object: the hooks that need it are given here.
    void setHooks(Hooks hooks);

    void restoreOutputVolumeAfterRecording() override;
    void resetOutputVolumeRestoreRetries() override { outputVolumeRestoreRetries_ = 0; }
    void takeOutputVolumeSnapshotIfNeeded() override;
    void applyOutputVolumeForRecording() override;
    void restoreVolumeLeftByCrash() override;
    void warmUp() override;

    // The volume while recording: percentage × captured ÷ 100, halves rounded away from zero;
    // muted at 0 % or when it was muted already.
    static SystemOutputVolumeState recordingVolume(SystemOutputVolumeState captured, int percentage);

    // Observation.
    std::optional<SystemOutputVolumeState> originalOutputVolumeState() const { return originalOutputVolumeState_; }
    QString originalOutputSink() const { return originalOutputSink_; }
    int outputVolumeRestoreRetries() const { return outputVolumeRestoreRetries_; }
    bool hasPendingRestoreRetry() const { return pendingRestoreRetries > 0; }

private:
    // Sets the sink and tells whether it now reports the volume asked for (within 1) and the same
    // mute switch.
    bool setOutputVolume(const QString &sink, SystemOutputVolumeState requested);
    void removeSnapshotFromDefaults();
    void scheduleRestoreRetry();

    OutputVolume &outputVolume;
    Settings &defaults;
    Hooks hooks;
    std::optional<SystemOutputVolumeState> originalOutputVolumeState_;
    QString originalOutputSink_;
    int outputVolumeRestoreRetries_ = 0;
    int pendingRestoreRetries = 0; // scheduled and not yet run
};
