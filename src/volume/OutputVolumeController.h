#pragma once

// The computer's output volume around a recording: a snapshot before, lowered or muted while
// recording, restored after (and restored at the next launch if Murmex ended in between).
class OutputVolumeController {
public:
    virtual ~OutputVolumeController() = default;

    // Restores the snapshot taken for the last dictation, if one is held. A failed restore is
    // retried a few times shortly after, then left for the next call.
    virtual void restoreOutputVolumeAfterRecording() = 0;
    // Gives the next restore its full series of delayed retries again; a dictation that returns to
    // idle calls it just before its restore.
    virtual void resetOutputVolumeRestoreRetries() {}
    // Takes and persists the snapshot of the current volume unless one is already held.
    virtual void takeOutputVolumeSnapshotIfNeeded() = 0;
    virtual void applyOutputVolumeForRecording() = 0;
    // A volume left lowered by a crash is put back at launch.
    virtual void restoreVolumeLeftByCrash() = 0;
    // At launch: reads the volume once, so that the connection to the sound server is up before the
    // first dictation needs it.
    virtual void warmUp() {}
    // Whether this build can change the volume at all (the menu entry depends on it).
    [[nodiscard]] virtual bool isAvailable() const { return true; }
};
