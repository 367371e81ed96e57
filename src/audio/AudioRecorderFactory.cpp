#include "AudioRecorderFactory.h"

#include "FileRecorder.h"
#include "VoiceProcessingRecorder.h"

AudioRecorderFactory::AudioRecorderFactory(AudioSystem &audioSystem) : audioSystem(audioSystem) {}

AudioRecorderFactory::~AudioRecorderFactory() = default;

std::shared_ptr<VoiceProcessingRecorder> AudioRecorderFactory::reusableVoiceProcessingRecorderLocked()
{
    if (!reusableVoiceProcessingRecorder)
        reusableVoiceProcessingRecorder = std::make_shared<VoiceProcessingRecorder>(audioSystem, true);
    return reusableVoiceProcessingRecorder;
}

Expected<std::shared_ptr<DictationAudioRecorder>>
AudioRecorderFactory::makeStartedRecorder(const QString &segmentFile, ComputerAudioMode mode, const RecordingStartupToken &cancellation)
{
    if (mode == ComputerAudioMode::allow) {
        auto recorder = FileRecorder::start(audioSystem, segmentFile);
        if (!recorder)
            return std::unexpected(recorder.error());
        return std::shared_ptr<DictationAudioRecorder>(*recorder);
    }
    std::shared_ptr<VoiceProcessingRecorder> recorder;
    {
        std::lock_guard guard(reusableVoiceProcessingRecorderLock);
        recorder = reusableVoiceProcessingRecorderLocked();
    }
    const auto isCancelled = [cancellation] { return cancellation && cancellation->isCancelled(); };
    if (auto started = recorder->startRecording(segmentFile, isCancelled); !started) {
        recorder->setOnUnexpectedStop({});
        return std::unexpected(started.error());
    }
    return std::shared_ptr<DictationAudioRecorder>(recorder);
}

void AudioRecorderFactory::warmUp()
{
    std::shared_ptr<VoiceProcessingRecorder> recorder;
    {
        std::lock_guard guard(reusableVoiceProcessingRecorderLock);
        recorder = reusableVoiceProcessingRecorderLocked();
    }
    recorder->prewarm();
}

bool AudioRecorderFactory::tryPlayStartCue()
{
    std::shared_ptr<VoiceProcessingRecorder> recorder;
    {
        std::lock_guard guard(reusableVoiceProcessingRecorderLock);
        recorder = reusableVoiceProcessingRecorder;
    }
    return recorder && recorder->tryPlayStartCue();
}
