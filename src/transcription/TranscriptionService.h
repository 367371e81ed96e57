#pragma once

#include "dictionary/TranscriptionLanguage.h"
#include "insertion/TextInsertion.h"

#include <QString>
#include <QStringList>

#include <optional>

// What a transcription job reads from and reports to the dictation controller, on the main thread.
class TranscriptionHost {
public:
    virtual ~TranscriptionHost() = default;
    // The job runs: the dictation is now "transcribing".
    virtual void transcriptionDidStart() = 0;
    // The job ended (text pasted, nothing to paste, or the recording kept after a failure): the
    // dictation is "idle" again and the output volume is restored.
    virtual void transcriptionDidEnd() = 0;
    virtual TranscriptionLanguage transcriptionLanguage() const = 0;
    // The window that had the focus when the dictation started: where the text goes.
    virtual InsertionTarget insertionTarget() const = 0;
    virtual void clearInsertionTarget() = 0;
};

// Turns a finished recording folder into text and pastes it where the user dictated.
class TranscriptionService {
public:
    virtual ~TranscriptionService() = default;
    // Whom the jobs report to; set once by the dictation controller that owns the service.
    virtual void setHost(TranscriptionHost *host) = 0;
    // At launch: clean up after an earlier run and start what makes jobs fast.
    virtual void startServices() = 0;
    // `segments` in recording order; returns at once, the outcome arrives through the host.
    virtual void transcribe(const QStringList &segments, const QString &folder) = 0;
    // The folder of the job in progress, empty when none: it must not be cleaned up.
    virtual QString transcriptionFolder() const = 0;
    // At exit: ends the engine processes. From then on the host is not called any more and nothing
    // is shown or started; a job in progress is dropped and its recording stays on disk.
    virtual void terminateProcesses() = 0;
};
