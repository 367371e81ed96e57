#pragma once

#include "SoundCues.h"

// Stand-in until the sound cues are built: dictations start and stop silently.
class UnavailableSoundCues final : public SoundCues {
public:
    void prepareStartCue() override {}
    void cancelPreparedStartCue() override {}
    void playRecordingStarted() override {}
    void playRecordingStopped() override {}
    void terminateProcesses() override {}
};
