#include "SystemOutputVolumeController.h"

#include "support/Settings.h"
#include "support/StartupTrace.h"

#include <QLoggingCategory>
#include <QTimer>

#include <algorithm>
#include <cstdlib>
#include <utility>

Q_LOGGING_CATEGORY(lcVolume, "murmex.volume", QtInfoMsg)

namespace {

const QString volumeKey = QStringLiteral("recordingOriginalOutputVolume");
const QString mutedKey = QStringLiteral("recordingOriginalOutputMuted");
const QString sinkKey = QStringLiteral("recordingOriginalOutputSink");

} // namespace

SystemOutputVolumeController::SystemOutputVolumeController(OutputVolume &outputVolume, Settings &defaults, Hooks hooks, QObject *parent)
    : QObject(parent), outputVolume(outputVolume), defaults(defaults)
{
    setHooks(std::move(hooks));
}

void SystemOutputVolumeController::setHooks(Hooks given)
{
    hooks = std::move(given);
    if (!hooks.recordingVolumePercentage)
        hooks.recordingVolumePercentage = [] { return 100; };
    if (!hooks.isRecordingStartupInFlight)
        hooks.isRecordingStartupInFlight = [] { return false; };
    if (!hooks.mayRetryRestore)
        hooks.mayRetryRestore = [] { return true; };
}

SystemOutputVolumeState SystemOutputVolumeController::recordingVolume(SystemOutputVolumeState captured, int percentage)
{
    percentage = std::clamp(percentage, 0, 100);
    // Both factors are 0–100, so adding half of the divisor rounds the halves up, away from zero.
    const int volume = (percentage * std::clamp(captured.volume, 0, 100) + 50) / 100;
    return {volume, percentage == 0 || captured.isMuted};
}

bool SystemOutputVolumeController::setOutputVolume(const QString &sink, SystemOutputVolumeState requested)
{
    requested.volume = std::clamp(requested.volume, 0, 100);
    const std::optional<SystemOutputVolumeState> reported = outputVolume.set(sink, requested.volume, requested.isMuted);
    return reported && std::abs(reported->volume - requested.volume) < 2 && reported->isMuted == requested.isMuted;
}

void SystemOutputVolumeController::takeOutputVolumeSnapshotIfNeeded()
{
    if (originalOutputVolumeState_)
        return;
    // Unreadable: no snapshot, and the recording runs at the volume it finds.
    const std::optional<OutputVolumeReading> reading = outputVolume.read();
    if (!reading)
        return;
    originalOutputVolumeState_ = reading->state;
    originalOutputSink_ = reading->sink;
    outputVolumeRestoreRetries_ = 0;
    defaults.setInteger(volumeKey, reading->state.volume);
    defaults.setBoolean(mutedKey, reading->state.isMuted);
    defaults.setString(sinkKey, reading->sink);
    // On disk before the volume is lowered, or a crash would leave nothing to restore.
    if (!defaults.sync())
        qCWarning(lcVolume) << "the volume to restore could not be written to" << defaults.fileName();
}

void SystemOutputVolumeController::applyOutputVolumeForRecording()
{
    const int percentage = hooks.recordingVolumePercentage();
    if (percentage >= 100 || !originalOutputVolumeState_)
        return;
    const SystemOutputVolumeState lowered = recordingVolume(*originalOutputVolumeState_, percentage);
    // The sink the snapshot came from, even if another one became the default meanwhile. A failure
    // only means the recording runs at the volume it found.
    if (!setOutputVolume(originalOutputSink_, lowered))
        qCWarning(lcVolume) << "the volume of" << originalOutputSink_ << "could not be lowered";
}

void SystemOutputVolumeController::restoreOutputVolumeAfterRecording()
{
    if (hooks.isRecordingStartupInFlight() || !originalOutputVolumeState_)
        return;
    if (setOutputVolume(originalOutputSink_, *originalOutputVolumeState_)) {
        removeSnapshotFromDefaults();
        originalOutputVolumeState_.reset();
        originalOutputSink_.clear();
        outputVolumeRestoreRetries_ = 0;
        return;
    }
    traceRecordingStartup(QStringLiteral("volume-restore-failed"));
    qCWarning(lcVolume) << "the volume of" << originalOutputSink_ << "could not be restored; retries so far:" << outputVolumeRestoreRetries_;
    // After the last retry the snapshot stays held: the next restore call, or the next launch, tries again.
    if (outputVolumeRestoreRetries_ < maximumRestoreRetries) {
        ++outputVolumeRestoreRetries_;
        scheduleRestoreRetry();
    }
}

void SystemOutputVolumeController::scheduleRestoreRetry()
{
    // A timer of this object: it never fires once the controller is gone.
    ++pendingRestoreRetries;
    QTimer::singleShot(restoreRetryDelay, this, [this] {
        --pendingRestoreRetries;
        if (hooks.mayRetryRestore())
            restoreOutputVolumeAfterRecording();
    });
}

void SystemOutputVolumeController::restoreVolumeLeftByCrash()
{
    const std::optional<qint64> volume = defaults.integer(volumeKey);
    const std::optional<bool> muted = defaults.boolean(mutedKey);
    if (!volume || !muted)
        return;
    // Without a device name the default device is meant.
    const QString sink = defaults.string(sinkKey).value_or(QString());
    const SystemOutputVolumeState original{int(std::clamp<qint64>(*volume, 0, 100)), *muted};
    if (setOutputVolume(sink, original)) {
        qCDebug(lcVolume) << "volume left by an earlier run restored:" << original.volume << (original.isMuted ? "muted" : "");
        removeSnapshotFromDefaults();
        return;
    }
    // Kept for the next launch, and held as this run's snapshot: the next dictation tries the restore
    // again before it reads the volume, instead of taking the lowered volume for the original.
    qCWarning(lcVolume) << "the volume left by an earlier run could not be restored; kept for the next launch";
    originalOutputVolumeState_ = original;
    originalOutputSink_ = sink;
    outputVolumeRestoreRetries_ = 0;
}

void SystemOutputVolumeController::warmUp()
{
    // Only the connection to the sound server matters here, so that the first dictation finds it
    // up; the volume read is not used.
    (void)outputVolume.read();
}

void SystemOutputVolumeController::removeSnapshotFromDefaults()
{
    defaults.remove(volumeKey);
    defaults.remove(mutedKey);
    defaults.remove(sinkKey);
    if (!defaults.sync())
        qCWarning(lcVolume) << "the restored volume could not be removed from" << defaults.fileName();
}
