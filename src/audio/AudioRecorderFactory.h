#pragma once

#include "RecorderFactory.h"

#include <mutex>

class AudioSystem;
class VoiceProcessingRecorder;

// Starts the recorder the computer-audio mode asks for: the kept voice-processing recorder for
// "exclude", a new plain file recorder for "allow".
class AudioRecorderFactory final : public RecorderFactory {
public:
    explicit AudioRecorderFactory(AudioSystem &audioSystem);
    ~AudioRecorderFactory() override;

    Expected<std::shared_ptr<DictationAudioRecorder>>
    makeStartedRecorder(const QString &segmentFile, ComputerAudioMode mode, const RecordingStartupToken &cancellation) override;
    void warmUp() override;

    // The start cue played by the capture itself: only while the kept voice-processing recorder
    // (mode "exclude") records on its fast capture; false otherwise. Main thread.
    bool tryPlayStartCue();

private:
    std::shared_ptr<VoiceProcessingRecorder> reusableVoiceProcessingRecorderLocked();

    AudioSystem &audioSystem;
    std::mutex reusableVoiceProcessingRecorderLock;
    std::shared_ptr<VoiceProcessingRecorder> reusableVoiceProcessingRecorder;
};
