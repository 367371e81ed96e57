#pragma once

#include <QString>
#include <QStringList>

// What a transcription job reports back to the dictation controller, on the main thread.
class TranscriptionHost {
public:
    virtual ~TranscriptionHost() = default;
    // The job runs: the dictation is now "transcribing".
    virtual void transcriptionDidStart() = 0;
    // The job ended (text pasted, or the recording kept after a failure): back to "idle".
    virtual void transcriptionDidEnd() = 0;
};

// Turns a finished recording folder into text and pastes it where the user dictated.
class TranscriptionService {
public:
    virtual ~TranscriptionService() = default;
    // Whom the jobs report to; set once by the dictation controller that owns the service.
    virtual void setHost(TranscriptionHost *host) = 0;
    // `segments` in recording order; returns at once, the outcome arrives through the host.
    virtual void transcribe(const QStringList &segments, const QString &folder) = 0;
    // The folder of the job in progress, empty when none: it must not be cleaned up.
    virtual QString transcriptionFolder() const = 0;
    // Ends the engine processes (at exit).
    virtual void terminateProcesses() = 0;
};
