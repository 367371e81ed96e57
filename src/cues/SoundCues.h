#pragma once

// The start and stop sounds of a dictation.
class SoundCues {
public:
    virtual ~SoundCues() = default;

    // At launch: reads the start and stop sounds, so that the first dictation plays them at once.
    virtual void loadEmbeddedSounds() {}

    // Prepares the start sound ahead of time (computer-audio mode "allow"), replacing an earlier one.
    virtual void prepareStartCue() = 0;
    virtual void cancelPreparedStartCue() = 0;
    virtual void playRecordingStarted() = 0;
    virtual void playRecordingStopped() = 0;
    // Ends a sound-player process still running (at exit).
    virtual void terminateProcesses() = 0;
};
