// WhisperTranscriptionService: what the speech engine can do now, and the watch on the server
// while it loads its model.

#include "WhisperTranscriptionService.h"

#include "ListeningSocket.h"
#include "support/Log.h"

#include <QFileInfo>
#include <QProcess>

#include <chrono>

namespace {

// The longest a model is waited for. Past it the status stays "loading" until a job gets an answer
// or the server ends; the jobs themselves wait for the port as before.
constexpr auto readinessBound = std::chrono::minutes(2);

} // namespace

EngineStatus WhisperTranscriptionService::engineStatus() const
{
    const bool server = isServerRunning();
    if (server && serverListening)
        return EngineStatus::ready;
    const QFileInfo python(locations.pythonWhisperExecutable); // needs no ggml model of its own
    const bool pythonWhisper = python.isFile() && python.isExecutable();
    const bool whisperCPP = whisperCPPExecutable() || whisperCLIExecutable();
    if (!whisperCPP && !pythonWhisper) // no program at all: the model alone would not help
        return EngineStatus::engineMissing;
    // A model the server refused would fail whisper-cli too: it counts as missing until a server
    // loads one.
    if (!whisperCPPModel() || serverModelUnusable)
        return pythonWhisper ? EngineStatus::commandLineOnly : EngineStatus::modelMissing;
    if (server)
        return EngineStatus::loading;
    return pythonWhisper || whisperCLIExecutable() ? EngineStatus::commandLineOnly : EngineStatus::engineMissing;
}

void WhisperTranscriptionService::updateEngineStatus()
{
    if (shutDown || !host)
        return;
    const EngineStatus status = engineStatus();
    if (reportedEngineStatus == status)
        return;
    reportedEngineStatus = status;
    host->engineStatusChanged(status);
}

// The server binds its port only once its model is loaded, so the port is looked at a few times a
// second, the way a job looks before it posts: only a listener of the server's own counts.
void WhisperTranscriptionService::startReadinessProbe()
{
    serverListening = false;
    serverReadinessDeadline.setRemainingTime(readinessBound);
    serverReadinessTimer.start();
    updateEngineStatus();
}

void WhisperTranscriptionService::onReadinessProbe()
{
    if (!isServerRunning()) {
        forgetServerReadiness(); // its end is reported where it is handled
        return;
    }
    if (ListeningSocket::check(port, serverProcessId()).holder == ListeningSocket::Holder::process) {
        Log::write(QStringLiteral("[MurmexTranscription] El servidor local escucha en el puerto %1.").arg(port));
        markServerListening();
        return;
    }
    if (serverReadinessDeadline.hasExpired()) {
        serverReadinessTimer.stop();
        Log::write(QStringLiteral("[MurmexTranscription] El servidor local no escucha en el puerto %1 tras %2 minutos cargando el modelo.")
                       .arg(port)
                       .arg(std::chrono::duration_cast<std::chrono::minutes>(readinessBound).count()));
    }
}

void WhisperTranscriptionService::markServerListening()
{
    serverReadinessTimer.stop();
    serverListening = true;
    serverModelUnusable = false;
    updateEngineStatus();
}

// The server ended or is being ended: the next one is watched anew.
void WhisperTranscriptionService::forgetServerReadiness()
{
    serverReadinessTimer.stop();
    serverListening = false;
}
