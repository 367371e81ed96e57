#pragma once

#include "platform/DictationAudioRecorder.h"
#include "support/Error.h"
#include "support/RecordingStartupCancellation.h"
#include "volume/ComputerAudioMode.h"

#include <QString>

#include <memory>

// Starts the recorder of one segment file. Mode "exclude" uses the voice-processing recorder and is
// called on the recording start-up queue (it blocks until the first buffer is written); mode
// "allow" uses the plain file recorder and is called on the main thread.
class RecorderFactory {
public:
    virtual ~RecorderFactory() = default;

    // Returns a recorder already capturing into `segmentFile`, or why it could not start. A
    // cancelled `cancellation` (mode "exclude") ends the start with error 22.
    [[nodiscard]] virtual Expected<std::shared_ptr<DictationAudioRecorder>>
    makeStartedRecorder(const QString &segmentFile, ComputerAudioMode mode, const RecordingStartupToken &cancellation) = 0;

    // Prepares capture at launch so the first dictation starts quickly (on the start-up queue).
    virtual void warmUp() = 0;
};
