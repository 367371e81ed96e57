#pragma once

#include "dictionary/TranscriptionLanguage.h"
#include "insertion/TextInsertion.h"

#include <QString>
#include <QStringList>

#include <optional>

// What the speech engine can do now, for the tray menu. The service reports each change it causes
// (a server started, answering or ended) through TranscriptionHost::engineStatusChanged.
//   modelMissing     no ggml-base.bin, or the server refused it as damaged (whisper-cli would too),
//                    and no openai-whisper to fall back on
//   loading          the server runs and has not bound its port yet: it is loading the model
//   ready            the server listens on its port, or has answered a job
//   commandLineOnly  no server (none installed, no voice-activity model, or ended and waiting for
//                    its restart): jobs go to openai-whisper or whisper-cli
//   engineMissing    neither a server nor a command-line engine that could run
enum class EngineStatus { ready, loading, commandLineOnly, modelMissing, engineMissing };

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
    // A dictation's text was handed to the insertion (pasted, or left on the clipboard).
    virtual void transcriptionDelivered([[maybe_unused]] const QString &text) {}
    // The text of a kept recording transcribed again is on the clipboard; its folder is deleted.
    virtual void keptRecordingCopied([[maybe_unused]] const QString &text) {}
    // A kept recording was not transcribed again, and its folder stays: another job runs, it holds
    // no audio any more, or no speech was heard in it. `reason` is a Spanish sentence. Failures of
    // the engine are not reported here: they show the alert of a kept recording.
    virtual void keptRecordingNotTranscribed([[maybe_unused]] const QString &folder, [[maybe_unused]] const QString &reason) {}
    virtual void engineStatusChanged([[maybe_unused]] EngineStatus status) {}
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
    // Transcribes a kept recording's folder again, like a dictation, but its text goes to the
    // clipboard instead of being pasted; the folder is deleted once the text is there. Refused
    // while another job runs; the caller offers it only while no dictation is being recorded, since
    // the job makes the dictation "transcribing". Returns at once, the outcome arrives through the
    // host.
    virtual void transcribeKeptRecording(const QString &folder) = 0;
    virtual EngineStatus engineStatus() const = 0;
    // The folder of the job in progress, empty when none: it must not be cleaned up.
    virtual QString transcriptionFolder() const = 0;
    // At exit: ends the engine processes. From then on the host is not called any more and nothing
    // is shown or started; a job in progress is dropped and its recording stays on disk.
    virtual void terminateProcesses() = 0;
};
