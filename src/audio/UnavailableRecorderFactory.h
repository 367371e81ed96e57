#pragma once

#include "RecorderFactory.h"

// Stand-in until microphone capture is built: every start fails with error 3 ("No se pudo iniciar
// el micrófono."), so a dictation ends with the "No se pudo grabar" alert and leaves no folder.
class UnavailableRecorderFactory final : public RecorderFactory {
public:
    Expected<std::shared_ptr<DictationAudioRecorder>>
    makeStartedRecorder(const QString &segmentFile, ComputerAudioMode mode, const RecordingStartupToken &cancellation) override;
    void warmUp() override {}
};
