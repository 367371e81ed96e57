// WhisperTranscriptionService: a kept recording transcribed again on the user's request. The job is
// a dictation's (server, else the command-line engines; the same failures keep the folder and show
// the same alert), but the text goes to the clipboard: the window the user dictated into is long
// gone.

#include "WhisperTranscriptionService.h"

#include "KeptRecordings.h"
#include "support/Log.h"

void WhisperTranscriptionService::transcribeKeptRecording(const QString &folder)
{
    if (shutDown)
        return;
    const auto refuse = [this, &folder](const QString &reason) {
        Log::write(QStringLiteral("[MurmexTranscription] No se vuelve a transcribir %1: %2").arg(folder, reason));
        if (host)
            host->keptRecordingNotTranscribed(folder, reason);
    };
    // One job at a time: the engines, the state shown and the folder in use all belong to it.
    if (!transcriptionFolder_.isEmpty())
        return refuse(QStringLiteral("Ya hay una transcripción en curso; vuelve a intentarlo cuando termine."));
    const QStringList segments = keptRecordingSegments(folder);
    if (segments.isEmpty())
        return refuse(QStringLiteral("La grabación ya no está o no tiene audio."));
    Log::write(QStringLiteral("[MurmexTranscription] Se vuelve a transcribir %1 (%2 segmentos).").arg(folder).arg(segments.size()));
    startJob(segments, folder, JobKind::keptRecording);
}

// The folder goes only once the text is on the clipboard; without a clipboard to put it on, the
// folder stays and the user is told.
void WhisperTranscriptionService::copyKeptRecording(const QString &text, const QString &folder)
{
    if (!services.copyToClipboard) {
        endJob();
        if (host)
            host->keptRecordingNotTranscribed(folder, QStringLiteral("No se pudo copiar el texto al portapapeles."));
        return;
    }
    services.copyToClipboard(text);
    services.removeRecordingFolder(folder);
    endJob();
    if (host)
        host->keptRecordingCopied(text);
}

// Nothing heard in a recording the user asked for again is not a reason to delete it unasked: it
// stays, and the user is told why nothing was copied.
void WhisperTranscriptionService::keepRecordingWithoutSpeech(const QString &folder)
{
    Log::write(QStringLiteral("[MurmexTranscription] No se oyó voz en %1; la grabación se conserva.").arg(folder));
    endJob();
    if (host)
        host->keptRecordingNotTranscribed(folder, QStringLiteral("No se oyó ninguna voz en la grabación."));
}
