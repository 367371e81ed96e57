#pragma once

#include "OutputVolumeController.h"

// Stand-in until output-volume control is built: the volume is never read nor changed.
class UnavailableOutputVolumeController final : public OutputVolumeController {
public:
    void restoreOutputVolumeAfterRecording() override {}
    void takeOutputVolumeSnapshotIfNeeded() override {}
    void applyOutputVolumeForRecording() override {}
    void restoreVolumeLeftByCrash() override {}
    bool isAvailable() const override { return false; }
};
