#include "WhisperTranscriptionService.h"

#include "ListeningSocket.h"
#include "TranscriptFinishing.h"
#include "insertion/TextInsertion.h"
#include "platform/Alerts.h"
#include "platform/ApplicationShell.h"
#include "support/Log.h"
#include "support/Processes.h"
#include "support/Settings.h"
#include "support/StartupTrace.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThreadPool>

#include <algorithm>
#include <chrono>
#include <thread>
#include <unistd.h>

namespace {

const QString serverPidKey = QStringLiteral("whisperServerPID");
const QString serverExecutableKey = QStringLiteral("whisperServerExecutable");
const QString serverStartTimeKey = QStringLiteral("whisperServerStartTime");
const QString loopback = QStringLiteral("127.0.0.1");
constexpr int attemptsPerSegment = 50;
constexpr auto retryPause = std::chrono::milliseconds(200);

bool isExecutableFile(const QString &path)
{
    const QFileInfo info(path);
    return info.isFile() && info.isExecutable();
}

QString whisperCode(TranscriptionLanguage language)
{
    return rawValue(language); // "es", "en", "ca"
}

QString serverTranscriptPath(const QString &folder, const QString &segment)
{
    return folder + QLatin1Char('/') + QFileInfo(segment).completeBaseName() + QStringLiteral("-server.txt");
}

QStringList voiceActivityArguments(const QString &vadModel)
{
    return {QStringLiteral("--vad"),
            QStringLiteral("--vad-model"),
            vadModel,
            QStringLiteral("--vad-threshold"),
            QStringLiteral("0.50"),
            QStringLiteral("--vad-min-speech-duration-ms"),
            QStringLiteral("250"),
            QStringLiteral("--vad-min-silence-duration-ms"),
            QStringLiteral("500"),
            QStringLiteral("--vad-speech-pad-ms"),
            QStringLiteral("100")};
}

// curl's exit status when the answer is larger than --max-filesize.
constexpr int curlFileTooLarge = 63;

// What curl is run with: nothing of the user's environment, so that no proxy variable and no
// configuration file it names can send the recording anywhere else (-q and --noproxy say so
// again on the command line).
QProcessEnvironment curlEnvironment()
{
    const QProcessEnvironment system = QProcessEnvironment::systemEnvironment();
    QProcessEnvironment environment; // always given PATH: an empty one would mean "inherit"
    environment.insert(QStringLiteral("PATH"), system.value(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin")));
    if (system.contains(QStringLiteral("LANG")))
        environment.insert(QStringLiteral("LANG"), system.value(QStringLiteral("LANG")));
    return environment;
}

// The --form value that uploads `path`: quoted as curl's manual says, so that a ',' or ';' in the
// path is not read as a list of files or another parameter, with '"' and '\\' escaped inside.
QString fileFormField(const QString &path)
{
    QString quoted = path;
    quoted.replace(QLatin1Char('\\'), QLatin1String("\\\\")).replace(QLatin1Char('"'), QLatin1String("\\\""));
    return QStringLiteral("file=@\"") + quoted + QStringLiteral("\";type=audio/wav");
}

QStringList curlArguments(const QString &endpoint, const QString &segment, const QString &language, const QString &transcript)
{
    return {QStringLiteral("-q"), // first, or ~/.curlrc is read anyway
            QStringLiteral("--silent"),
            QStringLiteral("--show-error"),
            QStringLiteral("--fail"),
            QStringLiteral("--noproxy"),
            QStringLiteral("*"),
            QStringLiteral("--max-time"),
            QStringLiteral("3600"),
            QStringLiteral("--max-filesize"),
            QString::number(WhisperTranscriptionService::maxTranscriptBytes),
            endpoint,
            QStringLiteral("--form"),
            fileFormField(segment),
            QStringLiteral("--form"),
            QStringLiteral("temperature=0.0"),
            QStringLiteral("--form"),
            QStringLiteral("temperature_inc=0.2"),
            QStringLiteral("--form"),
            QStringLiteral("language=") + language,
            QStringLiteral("--form"),
            QStringLiteral("response_format=text"),
            QStringLiteral("--output"),
            transcript,
            QStringLiteral("--write-out"),
            QStringLiteral("%{size_download}")};
}

bool isOversized(const QString &transcript)
{
    return QFileInfo(transcript).size() > WhisperTranscriptionService::maxTranscriptBytes;
}

// After curl ended well: whether the transcript file holds the answer. Debian's curl creates the
// file even for an empty body, which is an answer without speech; should a curl not do so, the
// empty file is made here from the body size curl reports. A file missing after a body arrived
// was lost, and the attempt failed: it must not pass for silence.
bool answerWasSaved(const QString &transcript, const QByteArray &bodySize)
{
    if (QFileInfo::exists(transcript))
        return true;
    return bodySize.trimmed() == "0" && QFile(transcript).open(QIODevice::WriteOnly);
}

// " Últimas líneas: a | b | c" for a log line; nothing when the program printed nothing.
QString lastLines(const OutputTail &output)
{
    const QStringList lines = output.lines();
    return lines.isEmpty() ? QString() : QStringLiteral(" Últimas líneas: ") + lines.join(QStringLiteral(" | "));
}

// Ends a child without holding up the caller for long: a polite request, a short wait, then kill.
// Its handlers are disconnected first: QProcess reports the end inside waitForFinished().
void endProcess(QObject *receiver, QProcess *process)
{
    if (!process)
        return;
    process->disconnect(receiver);
    if (process->state() == QProcess::NotRunning)
        return;
    process->terminate();
    if (!process->waitForFinished(1000)) {
        process->kill();
        process->waitForFinished(1000);
    }
}

} // namespace

WhisperTranscriptionService::WhisperTranscriptionService(Services services, WhisperLocations locations, QObject *parent)
    : QObject(parent), services(std::move(services)), locations(std::move(locations)), port(whisperServerPort(QCoreApplication::applicationPid(), 0))
{
    serverRestartTimer.setSingleShot(true);
    connect(&serverRestartTimer, &QTimer::timeout, this, &WhisperTranscriptionService::startWhisperCPPServer);
    serverReadinessTimer.setInterval(200);
    connect(&serverReadinessTimer, &QTimer::timeout, this, &WhisperTranscriptionService::onReadinessProbe);
}

WhisperTranscriptionService::~WhisperTranscriptionService()
{
    host = nullptr; // the owner may already be half gone
    terminateProcesses();
}

int WhisperTranscriptionService::whisperServerPort(qint64 processId, int candidate)
{
    constexpr qint64 ports = 30000, stride = 7919; // prime to 30000: every port comes in turn
    return 20000 + int((processId % ports + qint64(candidate) % ports * stride) % ports);
}

std::chrono::milliseconds WhisperTranscriptionService::serverRestartDelay(int attempt)
{
    using namespace std::chrono_literals;
    constexpr std::chrono::milliseconds delays[] = {1s, 5s, 30s, 5min};
    return delays[std::clamp(attempt, 0, int(std::size(delays)) - 1)];
}

TranscriptionLanguage WhisperTranscriptionService::language() const
{
    return host ? host->transcriptionLanguage() : TranscriptionLanguage::spanish;
}

// MARK: - Finding the engines

std::optional<QString> WhisperTranscriptionService::findExecutable(const QString &name) const
{
    for (const QString &folder : locations.executableFolders)
        if (const QString path = folder + QLatin1Char('/') + name; isExecutableFile(path))
            return path;
    // Only absolute entries of PATH: an empty one, "." or "bin" would find a program in whatever
    // folder Murmex was started from.
    if (locations.searchPath)
        for (const QString &folder : qEnvironmentVariable("PATH").split(QLatin1Char(':'), Qt::SkipEmptyParts))
            if (const QString path = folder + QLatin1Char('/') + name; QDir::isAbsolutePath(folder) && isExecutableFile(path))
                return path;
    return std::nullopt;
}

std::optional<QString> WhisperTranscriptionService::findModel(const QString &fileName) const
{
    for (const QString &folder : locations.modelFolders)
        if (const QString path = folder + QLatin1Char('/') + fileName; QFileInfo(path).isFile())
            return path;
    return std::nullopt;
}

std::optional<QString> WhisperTranscriptionService::whisperCPPExecutable() const
{
    return findExecutable(QStringLiteral("whisper-server"));
}

std::optional<QString> WhisperTranscriptionService::whisperCLIExecutable() const
{
    return findExecutable(QStringLiteral("whisper-cli"));
}

std::optional<QString> WhisperTranscriptionService::whisperCPPModel() const
{
    return findModel(QStringLiteral("ggml-base.bin"));
}

std::optional<QString> WhisperTranscriptionService::whisperCPPVADModel() const
{
    return findModel(QStringLiteral("ggml-silero-v6.2.0.bin"));
}

// MARK: - The server

void WhisperTranscriptionService::startServices()
{
    if (shutDown)
        return;
    terminateOrphanedWhisperServerIfNeeded();
    startWhisperCPPServer();
}

void WhisperTranscriptionService::startWhisperCPPServer()
{
    if (shutDown || whisperServerProcess)
        return;
    const auto executable = whisperCPPExecutable();
    const auto model = whisperCPPModel();
    const auto vadModel = whisperCPPVADModel();
    if (!executable || !model || !vadModel) {
        // Jobs use the command-line engines; the log says why the fast path is missing.
        Log::write(QStringLiteral("[MurmexTranscription] Sin servidor local: falta %1.")
                       .arg(!executable ? QStringLiteral("whisper-server") : !model ? QStringLiteral("ggml-base.bin") : QStringLiteral("ggml-silero-v6.2.0.bin")));
        updateEngineStatus();
        return;
    }
    QStringList arguments{QStringLiteral("--host"), loopback, QStringLiteral("--port"), QString::number(port), QStringLiteral("--model"), *model,
                          QStringLiteral("--language"), whisperCode(language()), QStringLiteral("--no-timestamps"), QStringLiteral("--suppress-nst")};
    arguments += voiceActivityArguments(*vadModel);
    arguments += QStringList{QStringLiteral("--threads"), QStringLiteral("4"), QStringLiteral("--beam-size"), QStringLiteral("5"),
                             QStringLiteral("--best-of"), QStringLiteral("5")};

    auto *process = new QProcess(this);
    process->setProgram(*executable);
    process->setArguments(arguments);
    process->setStandardOutputFile(QProcess::nullDevice());
    serverModel = *model;
    serverOutput.clear();
    serverHasAnswered = false;
    // Standard error is read as it comes, so that only its end is ever held.
    connect(process, &QProcess::readyReadStandardError, this, [this, process] { serverOutput.append(process->readAllStandardError()); });
    connect(process, &QProcess::finished, this,
            [this, process](int exitCode, QProcess::ExitStatus status) { onServerEnded(process, exitCode, status == QProcess::CrashExit); });
    whisperServerProcess = process;
    process->start();
    if (!process->waitForStarted(5000)) {
        Log::write(QStringLiteral("[MurmexTranscription] No se pudo iniciar el servidor local: %1").arg(process->errorString()));
        whisperServerProcess = nullptr;
        process->disconnect(this);
        process->deleteLater();
        scheduleServerRestart();
        updateEngineStatus();
        return;
    }
    services.defaults.setInteger(serverPidKey, process->processId());
    services.defaults.setString(serverExecutableKey, *executable);
    if (const auto startTime = Processes::startTime(process->processId()))
        services.defaults.setInteger(serverStartTimeKey, qint64(*startTime));
    services.defaults.sync();
    startReadinessProbe();
}

// The server ended without being asked to: say how, with the end of what it printed, and start it
// again later. A model it could not load is said once per session.
void WhisperTranscriptionService::onServerEnded(QProcess *server, int exitCode, bool crashed)
{
    if (server != whisperServerProcess)
        return; // a server ended here has its handlers disconnected first
    whisperServerProcess = nullptr;
    forgetServerReadiness();
    serverOutput.append(server->readAllStandardError());
    server->disconnect(this);
    server->deleteLater();
    forgetServerProcessId();
    Log::write(QStringLiteral("[MurmexTranscription] El servidor local terminó (%1).%2")
                   .arg(crashed ? QStringLiteral("señal %1").arg(exitCode) : QStringLiteral("estado %1").arg(exitCode), lastLines(serverOutput)));
    // A server that could not bind its port because another program holds it gets another one.
    if (const auto holder = ListeningSocket::check(port, 0); holder.holder == ListeningSocket::Holder::another) {
        Log::write(QStringLiteral("[MurmexTranscription] El puerto %1 no es del servidor local: %2").arg(port).arg(holder.reason));
        moveToNextPort();
    }
    // whisper.cpp exits with 3 when its model cannot be read; it says so on standard error too.
    const bool modelUnusable = (!crashed && exitCode == 3 && !serverHasAnswered) || serverOutput.mentions(QStringLiteral("failed to load model"))
                               || serverOutput.mentions(QStringLiteral("failed to initialize whisper context"));
    serverModelUnusable = serverModelUnusable || modelUnusable;
    scheduleServerRestart();
    updateEngineStatus();
    emit serverEnded();
    if (modelUnusable)
        showUnusableModelAlert();
}

// Ends the server a job could not use (the caller schedules the next one).
void WhisperTranscriptionService::retireServer()
{
    QProcess *server = std::exchange(whisperServerProcess, nullptr);
    if (!server)
        return;
    forgetServerReadiness();
    endProcess(this, server);
    serverOutput.append(server->readAllStandardError());
    if (server->state() == QProcess::NotRunning)
        forgetServerProcessId();
    server->deleteLater();
}

void WhisperTranscriptionService::scheduleServerRestart()
{
    if (shutDown || serverRestartTimer.isActive())
        return;
    const std::chrono::milliseconds delay = restartDelay(serverRestartAttempt++);
    Log::write(QStringLiteral("[MurmexTranscription] El servidor local se volverá a iniciar dentro de %1 s.").arg(double(delay.count()) / 1000.0));
    serverRestartTimer.start(delay);
}

void WhisperTranscriptionService::forgetServerProcessId()
{
    services.defaults.remove(serverPidKey);
    services.defaults.remove(serverExecutableKey);
    services.defaults.remove(serverStartTimeKey);
    services.defaults.sync();
}

void WhisperTranscriptionService::moveToNextPort()
{
    port = whisperServerPort(QCoreApplication::applicationPid(), ++portCandidate);
    Log::write(QStringLiteral("[MurmexTranscription] El servidor local usará el puerto %1.").arg(port));
}

void WhisperTranscriptionService::showUnusableModelAlert()
{
    if (shutDown || modelAlertShown)
        return;
    modelAlertShown = true; // before the modal loop, in which the next restart may already fail
    Log::write(QStringLiteral("[MurmexTranscription] El servidor local no pudo cargar el modelo %1.").arg(serverModel));
    services.alerts.showWarning(QStringLiteral("No se pudo cargar el modelo de voz"),
                                QStringLiteral("No se pudo cargar el modelo %1. Puede estar dañado o incompleto: vuelve a instalarlo con "
                                               "scripts/install-whisper. Mientras tanto, las grabaciones que no se puedan transcribir se conservan.")
                                    .arg(serverModel),
                                {QStringLiteral("Aceptar")});
}

void WhisperTranscriptionService::terminateOrphanedWhisperServerIfNeeded()
{
    const auto pid = services.defaults.integer(serverPidKey);
    const auto executable = services.defaults.string(serverExecutableKey);
    const auto startTime = services.defaults.integer(serverStartTimeKey);
    if (!pid || !executable)
        return;
    // The id may have gone to another process since, even to the same program started anew; a
    // record without the start time cannot tell them apart, and nothing is ended.
    const auto isTheServer = [&] {
        if (!startTime || !Processes::exists(*pid) || Processes::userId(*pid) != std::optional(uint(::getuid()))
            || Processes::startTime(*pid) != std::optional(quint64(*startTime)))
            return false;
        const QString program = QFileInfo(*executable).canonicalFilePath();
        if (!program.isEmpty() && Processes::executable(*pid) == program)
            return true;
        const auto commandLine = Processes::commandLine(*pid);
        return commandLine && (*commandLine == *executable || commandLine->startsWith(*executable + QLatin1Char(' ')));
    };
    if (isTheServer() && Processes::terminate(*pid))
        Log::write(QStringLiteral("[MurmexTranscription] Servidor de una ejecución anterior terminado (pid %1).").arg(*pid));
    forgetServerProcessId();
}

bool WhisperTranscriptionService::isServerRunning() const
{
    return whisperServerProcess && whisperServerProcess->state() == QProcess::Running;
}

qint64 WhisperTranscriptionService::serverProcessId() const
{
    return whisperServerProcess ? whisperServerProcess->processId() : 0;
}

void WhisperTranscriptionService::terminateProcesses()
{
    // The application is ending and its host may be going with it: from here on nothing is
    // reported, shown or started, and the recording of a job in progress stays for the next launch.
    shutDown = true;
    host = nullptr;
    serverRestartTimer.stop();
    serverReadinessTimer.stop();
    endProcess(this, std::exchange(transcriptionProcess, nullptr));
    QProcess *server = std::exchange(whisperServerProcess, nullptr);
    endProcess(this, server);
    if (server && server->state() == QProcess::NotRunning)
        forgetServerProcessId(); // ended here and known to be gone: nothing left for the next launch
}

// MARK: - Jobs

void WhisperTranscriptionService::transcribe(const QStringList &segments, const QString &folder)
{
    startJob(segments, folder, JobKind::dictation);
}

void WhisperTranscriptionService::startJob(const QStringList &segments, const QString &folder, JobKind kind)
{
    if (shutDown)
        return; // quitting: the recording stays for the next launch
    transcriptionFolder_ = folder;
    jobKind = kind;
    if (isServerRunning())
        transcribeWithWhisperCPPServer(segments, folder);
    else
        transcribeWithCommandLine(segments, folder);
}

void WhisperTranscriptionService::transcribeWithCommandLine(const QStringList &segments, const QString &folder)
{
    const QString code = whisperCode(language());
    QString executable;
    QStringList arguments;
    QStringList transcripts;
    TranscriptionBackend backend = TranscriptionBackend::whisperCPP;
    if (isExecutableFile(locations.pythonWhisperExecutable)) {
        backend = TranscriptionBackend::pythonWhisper;
        executable = locations.pythonWhisperExecutable;
        arguments = segments;
        arguments += QStringList{QStringLiteral("--model"), QStringLiteral("base"), QStringLiteral("--language"), code, QStringLiteral("--task"),
                                 QStringLiteral("transcribe"), QStringLiteral("--output_format"), QStringLiteral("txt"), QStringLiteral("--output_dir"),
                                 folder, QStringLiteral("--verbose"), QStringLiteral("False"), QStringLiteral("--fp16"), QStringLiteral("False")};
        for (const QString &segment : segments)
            transcripts.append(folder + QLatin1Char('/') + QFileInfo(segment).completeBaseName() + QStringLiteral(".txt"));
    } else if (const auto cli = whisperCLIExecutable(), model = whisperCPPModel(); cli && model) {
        executable = *cli;
        arguments = QStringList{QStringLiteral("--model"),         *model,
                                QStringLiteral("--language"),      code,
                                QStringLiteral("--no-timestamps"), QStringLiteral("--suppress-nst"),
                                QStringLiteral("--output-txt"),    QStringLiteral("--no-prints")};
        if (const auto vadModel = whisperCPPVADModel())
            arguments += voiceActivityArguments(*vadModel);
        arguments += segments;
        for (const QString &segment : segments)
            transcripts.append(segment + QStringLiteral(".txt"));
    } else {
        transcriptionFolder_.clear();
        endJob();
        if (host)
            host->clearInsertionTarget();
        showPreservedRecordingAlert(folder, QStringLiteral("Motor de transcripción no disponible"),
                                    QStringLiteral("No encuentro el motor local de transcripción. La grabación se ha conservado."));
        return;
    }

    if (host)
        host->transcriptionDidStart();
    for (const QString &transcript : transcripts)
        QFile::remove(transcript);
    const QString logFile = folder + QStringLiteral("/transcription.log");
    const auto launchFailed = [this, folder, logFile](const QString &reason) {
        Log::write(QStringLiteral("[MurmexTranscription] No se pudo iniciar la transcripción: %1").arg(reason));
        transcriptionFolder_.clear();
        endJob();
        if (host)
            host->clearInsertionTarget();
        QFile::remove(logFile);
        showPreservedRecordingAlert(folder, QStringLiteral("No se pudo iniciar la transcripción"),
                                    QStringLiteral("La grabación se ha conservado para volver a intentarlo."));
    };
    if (QFile log(logFile); !log.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return launchFailed(log.errorString());

    auto *process = new QProcess(this);
    process->setProgram(executable);
    process->setArguments(arguments);
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->setStandardOutputFile(logFile);
    connect(process, &QProcess::finished, this, [this, process, backend, transcripts, logFile, folder](int exitCode, QProcess::ExitStatus status) {
        if (transcriptionProcess == process)
            transcriptionProcess = nullptr;
        process->deleteLater();
        finishTranscription(status == QProcess::NormalExit ? exitCode : -1, backend, transcripts, logFile, folder);
    });
    transcriptionProcess = process;
    process->start();
    if (!process->waitForStarted(5000)) {
        const QString reason = process->errorString();
        transcriptionProcess = nullptr;
        process->disconnect(this);
        process->deleteLater();
        launchFailed(reason);
    }
}

void WhisperTranscriptionService::transcribeWithWhisperCPPServer(const QStringList &segments, const QString &folder)
{
    const QString code = whisperCode(language());
    const qint64 serverPid = serverProcessId();
    const bool serverPresent = whisperServerProcess != nullptr;
    QStringList transcripts;
    for (const QString &segment : segments) {
        transcripts.append(serverTranscriptPath(folder, segment));
        QFile::remove(transcripts.last());
    }
    const int jobPort = port;
    const QString endpoint = QStringLiteral("http://%1:%2/inference").arg(loopback).arg(jobPort);
    const QString curl = locations.curlExecutable;

    QPointer<WhisperTranscriptionService> weak(this);
    QThreadPool::globalInstance()->start([weak, segments, transcripts, folder, code, serverPid, serverPresent, jobPort, endpoint, curl] {
        bool succeeded = true;
        QString portTaken; // why the port is not the server's, when another program listens there
        for (qsizetype i = 0; i < segments.size() && succeeded; ++i) {
            for (int attempt = 1;; ++attempt) {
                // Posted only to the server started here: nobody listening yet means it is still
                // loading its model; anybody else gets nothing, and the job leaves the server.
                const ListeningSocket::Check holder = ListeningSocket::check(jobPort, serverPid);
                if (holder.holder == ListeningSocket::Holder::another) {
                    portTaken = holder.reason;
                    succeeded = false;
                    break;
                }
                if (holder.holder == ListeningSocket::Holder::process) {
                    QProcess process;
                    process.setProcessEnvironment(curlEnvironment());
                    process.setStandardErrorFile(QProcess::nullDevice());
                    traceRecordingStartup(QStringLiteral("request-sent"));
                    process.start(curl, curlArguments(endpoint, segments.at(i), code, transcripts.at(i)));
                    const bool ran = process.waitForStarted(10000) && process.waitForFinished(3'700'000);
                    const bool exited = ran && process.exitStatus() == QProcess::NormalExit;
                    if (exited && (process.exitCode() == curlFileTooLarge || (process.exitCode() == 0 && isOversized(transcripts.at(i))))) {
                        QFile::remove(transcripts.at(i)); // not a transcript, and no retry makes it one
                        succeeded = false;
                        break;
                    }
                    if (exited && process.exitCode() == 0 && answerWasSaved(transcripts.at(i), process.readAllStandardOutput())) {
                        traceRecordingStartup(QStringLiteral("answer-read"));
                        break;
                    }
                }
                QFile::remove(transcripts.at(i));
                if (!serverPresent || !Processes::exists(serverPid) || attempt >= attemptsPerSegment) {
                    succeeded = false;
                    break;
                }
                std::this_thread::sleep_for(retryPause);
            }
        }
        QMetaObject::invokeMethod(QCoreApplication::instance(), [weak, succeeded, portTaken, jobPort, serverPid, segments, transcripts, folder] {
            if (weak)
                weak->onServerJobFinished(succeeded, portTaken, jobPort, serverPid, segments, transcripts, folder);
        }, Qt::QueuedConnection);
    });
    // The state changes only after the request is under way: its file write and the icon are not
    // on the road to the text. Its result reaches this thread after this call, in that state.
    if (host)
        host->transcriptionDidStart();
}

void WhisperTranscriptionService::onServerJobFinished(bool succeeded, const QString &portTaken, int jobPort, qint64 serverPid,
                                                      const QStringList &segments, const QStringList &transcripts, const QString &folder)
{
    if (shutDown)
        return; // quitting: the answer has nowhere to go and the recording stays
    emit serverJobFinished(succeeded);
    if (succeeded) {
        if (serverPid == serverProcessId()) {
            serverHasAnswered = true;
            markServerListening(); // in case it answered before the probe saw it listen
        }
        serverRestartAttempt = 0;
        finishSuccessfulTranscription(transcripts, folder);
        return;
    }
    // A server that ended on its own was logged and rescheduled when it ended; one that is still
    // there but failed the job, or whose port another program holds, is ended here and started
    // again later (then on another port).
    const bool stillThere = serverPid != 0 && serverPid == serverProcessId();
    if (stillThere)
        retireServer();
    if (!portTaken.isEmpty()) {
        Log::write(QStringLiteral("[MurmexTranscription] El puerto %1 no es del servidor local: %2 Se transcribe con el motor de línea de órdenes.")
                       .arg(jobPort)
                       .arg(portTaken));
        if (jobPort == port)
            moveToNextPort();
    } else {
        Log::write(QStringLiteral("[MurmexTranscription] El servidor local falló; se transcribe con el motor de línea de órdenes.%1")
                       .arg(stillThere ? lastLines(serverOutput) : QString()));
    }
    if (stillThere) {
        scheduleServerRestart();
        updateEngineStatus();
    }
    for (const QString &transcript : transcripts)
        QFile::remove(transcript);
    transcribeWithCommandLine(segments, folder);
}

// MARK: - Finishing

QString WhisperTranscriptionService::finalText(const QStringList &transcripts) const
{
    QStringList texts;
    for (const QString &path : transcripts) {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly))
            texts.append(QString::fromUtf8(file.read(maxTranscriptBytes))); // larger ones were refused before
    }
    const TranscriptionLanguage spoken = language();
    return finishedText(texts, [this, spoken](const QString &text) {
        return services.applyPersonalDictionary ? services.applyPersonalDictionary(text, spoken) : text;
    });
}

void WhisperTranscriptionService::finishTranscription(int exitStatus, TranscriptionBackend, const QStringList &transcripts, const QString &logFile,
                                                      const QString &folder)
{
    transcriptionFolder_.clear();
    // An empty transcript is a segment without speech; a missing one was not transcribed at all,
    // whatever the exit status says.
    const auto missing = std::ranges::find_if(transcripts, [](const QString &path) { return !QFileInfo::exists(path); });
    const auto oversized = std::ranges::find_if(transcripts, isOversized);
    if (exitStatus == 0 && missing == transcripts.end() && oversized == transcripts.end()) {
        if (const QString text = finalText(transcripts); !text.isEmpty())
            return deliver(text, folder);
        endWithoutText(folder);
        return;
    }
    // The engine's output stays beside the recording; its end goes to the log.
    const QString how = exitStatus != 0                ? QStringLiteral("con el estado %1").arg(exitStatus)
                        : missing != transcripts.end() ? QStringLiteral("sin escribir %1").arg(QFileInfo(*missing).fileName())
                                                       : QStringLiteral("con %1 de más de %2 bytes").arg(QFileInfo(*oversized).fileName()).arg(maxTranscriptBytes);
    Log::write(QStringLiteral("[MurmexTranscription] El motor terminó %1; se conserva %2.%3").arg(how, folder, lastLines(OutputTail::ofFile(logFile))));
    if (host)
        host->clearInsertionTarget();
    endJob();
    showPreservedRecordingAlert(folder, QStringLiteral("No se pudo completar la transcripción"),
                                QStringLiteral("El procesamiento no pudo completarse. La grabación original se ha conservado."));
}

void WhisperTranscriptionService::finishSuccessfulTranscription(const QStringList &transcripts, const QString &folder)
{
    transcriptionFolder_.clear();
    const QString text = finalText(transcripts);
    if (!text.isEmpty())
        return deliver(text, folder);
    endWithoutText(folder);
}

void WhisperTranscriptionService::endWithoutText(const QString &folder)
{
    if (jobKind == JobKind::keptRecording)
        return keepRecordingWithoutSpeech(folder);
    services.removeRecordingFolder(folder);
    if (host)
        host->clearInsertionTarget();
    endJob();
}

void WhisperTranscriptionService::deliver(const QString &text, const QString &folder)
{
    if (jobKind == JobKind::keptRecording)
        return copyKeptRecording(text, folder);
    traceRecordingStartup(QStringLiteral("text-finished"));
    QPointer<WhisperTranscriptionService> weak(this);
    services.insertion.pasteAtCapturedCursor(text, host ? host->insertionTarget() : InsertionTarget{}, [weak, text, folder] {
        if (!weak)
            return;
        if (weak->host)
            weak->host->transcriptionDelivered(text);
        weak->services.removeRecordingFolder(folder);
        weak->endJob();
    });
}

void WhisperTranscriptionService::endJob()
{
    if (host)
        host->transcriptionDidEnd();
}

void WhisperTranscriptionService::showPreservedRecordingAlert(const QString &folder, const QString &title, const QString &message)
{
    if (shutDown)
        return; // not announced now, so the next launch still does
    services.defaults.setString(QStringLiteral("lastRecoveryNotice"), folder);
    services.defaults.sync();
    const int chosen = services.alerts.showWarning(title, message + QStringLiteral("\n\n") + folder,
                                                   {QStringLiteral("Mostrar grabación"), QStringLiteral("Aceptar")});
    if (chosen == 0)
        services.shell.revealInFileBrowser(folder);
}
