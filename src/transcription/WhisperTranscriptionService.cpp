#include "WhisperTranscriptionService.h"

#include "SpeechFilter.h"
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
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThreadPool>

#include <chrono>
#include <thread>

namespace {

const QString serverPidKey = QStringLiteral("whisperServerPID");
const QString serverExecutableKey = QStringLiteral("whisperServerExecutable");
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

// Ends a child without holding up the caller for long: a polite request, a short wait, then kill.
void endProcess(QProcess *process)
{
    if (!process || process->state() == QProcess::NotRunning)
        return;
    process->terminate();
    if (!process->waitForFinished(1000)) {
        process->kill();
        process->waitForFinished(1000);
    }
}

} // namespace

WhisperTranscriptionService::WhisperTranscriptionService(Services services, WhisperLocations locations, QObject *parent)
    : QObject(parent), services(std::move(services)), locations(std::move(locations)), port(whisperServerPort(QCoreApplication::applicationPid()))
{
}

WhisperTranscriptionService::~WhisperTranscriptionService()
{
    terminateProcesses();
}

int WhisperTranscriptionService::whisperServerPort(qint64 processId)
{
    return 20000 + int(processId % 30000);
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
    if (locations.searchPath)
        if (const QString path = QStandardPaths::findExecutable(name); !path.isEmpty())
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
    terminateOrphanedWhisperServerIfNeeded();
    startWhisperCPPServer();
}

void WhisperTranscriptionService::startWhisperCPPServer()
{
    if (whisperServerProcess)
        return;
    const auto executable = whisperCPPExecutable();
    const auto model = whisperCPPModel();
    const auto vadModel = whisperCPPVADModel();
    if (!executable || !model || !vadModel) {
        // Jobs use the command-line engines; the log says why the fast path is missing.
        Log::write(QStringLiteral("[MurmexTranscription] Sin servidor local: falta %1.")
                       .arg(!executable ? QStringLiteral("whisper-server") : !model ? QStringLiteral("ggml-base.bin") : QStringLiteral("ggml-silero-v6.2.0.bin")));
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
    process->setStandardErrorFile(QProcess::nullDevice());
    QPointer<QProcess> guard(process);
    connect(process, &QProcess::finished, this, [this, guard] {
        if (!guard || whisperServerProcess != guard)
            return; // replaced or abandoned meanwhile
        whisperServerProcess = nullptr;
        services.defaults.remove(serverPidKey);
        services.defaults.remove(serverExecutableKey);
        services.defaults.sync();
        guard->deleteLater();
        Log::write(QStringLiteral("[MurmexTranscription] El servidor local terminó."));
    });
    whisperServerProcess = process;
    process->start();
    if (!process->waitForStarted(5000)) {
        Log::write(QStringLiteral("[MurmexTranscription] No se pudo iniciar el servidor local: %1").arg(process->errorString()));
        whisperServerProcess = nullptr;
        process->deleteLater();
        return;
    }
    services.defaults.setInteger(serverPidKey, process->processId());
    services.defaults.setString(serverExecutableKey, *executable);
    services.defaults.sync();
}

void WhisperTranscriptionService::terminateOrphanedWhisperServerIfNeeded()
{
    const auto pid = services.defaults.integer(serverPidKey);
    const auto executable = services.defaults.string(serverExecutableKey);
    if (!pid || !executable)
        return;
    if (Processes::exists(*pid)) {
        if (const auto commandLine = Processes::commandLine(*pid);
            commandLine && (*commandLine == *executable || commandLine->startsWith(*executable + QLatin1Char(' ')))) {
            Processes::terminate(*pid);
            Log::write(QStringLiteral("[MurmexTranscription] Servidor de una ejecución anterior terminado (pid %1).").arg(*pid));
        }
    }
    services.defaults.remove(serverPidKey);
    services.defaults.remove(serverExecutableKey);
    services.defaults.sync();
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
    endProcess(transcriptionProcess);
    QProcess *server = std::exchange(whisperServerProcess, nullptr);
    endProcess(server);
    if (server && server->state() == QProcess::NotRunning) {
        // Ended here and known to be gone: nothing is left for the next launch to clean up.
        services.defaults.remove(serverPidKey);
        services.defaults.remove(serverExecutableKey);
        services.defaults.sync();
    }
}

// MARK: - Jobs

void WhisperTranscriptionService::transcribe(const QStringList &segments, const QString &folder)
{
    transcriptionFolder_ = folder;
    if (isServerRunning()) {
        transcribeWithWhisperCPPServer(segments, folder);
        return;
    }

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
    QPointer<QProcess> guard(process);
    connect(process, &QProcess::finished, this, [this, guard, backend, transcripts, logFile, folder](int exitCode, QProcess::ExitStatus status) {
        if (guard && transcriptionProcess == guard)
            transcriptionProcess = nullptr;
        if (guard)
            guard->deleteLater();
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
    const QString endpoint = QStringLiteral("http://%1:%2/inference").arg(loopback).arg(port);
    const QString curl = locations.curlExecutable;

    QPointer<WhisperTranscriptionService> weak(this);
    QThreadPool::globalInstance()->start([weak, segments, transcripts, folder, code, serverPid, serverPresent, endpoint, curl] {
        bool succeeded = true;
        for (qsizetype i = 0; i < segments.size() && succeeded; ++i) {
            for (int attempt = 1;; ++attempt) {
                QProcess process;
                process.setStandardOutputFile(QProcess::nullDevice());
                process.setStandardErrorFile(QProcess::nullDevice());
                traceRecordingStartup(QStringLiteral("request-sent"));
                process.start(curl, {QStringLiteral("--silent"), QStringLiteral("--show-error"), QStringLiteral("--fail"), QStringLiteral("--max-time"),
                                     QStringLiteral("3600"), endpoint, QStringLiteral("--form"),
                                     QStringLiteral("file=@") + segments.at(i) + QStringLiteral(";type=audio/wav"), QStringLiteral("--form"),
                                     QStringLiteral("temperature=0.0"), QStringLiteral("--form"), QStringLiteral("temperature_inc=0.2"),
                                     QStringLiteral("--form"), QStringLiteral("language=") + code, QStringLiteral("--form"),
                                     QStringLiteral("response_format=text"), QStringLiteral("--output"), transcripts.at(i)});
                const bool ran = process.waitForStarted(10000) && process.waitForFinished(3'700'000);
                if (ran && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0) {
                    traceRecordingStartup(QStringLiteral("answer-read"));
                    break;
                }
                QFile::remove(transcripts.at(i));
                if (!serverPresent || !Processes::exists(serverPid) || attempt >= attemptsPerSegment) {
                    succeeded = false;
                    break;
                }
                std::this_thread::sleep_for(retryPause);
            }
        }
        QMetaObject::invokeMethod(QCoreApplication::instance(), [weak, succeeded, segments, transcripts, folder] {
            if (weak)
                weak->onServerJobFinished(succeeded, segments, transcripts, folder);
        }, Qt::QueuedConnection);
    });
    // The state changes only after the request is under way: its file write and the icon are not
    // on the road to the text. Its result reaches this thread after this call, in that state.
    if (host)
        host->transcriptionDidStart();
}

void WhisperTranscriptionService::onServerJobFinished(bool succeeded, const QStringList &segments, const QStringList &transcripts,
                                                      const QString &folder)
{
    emit serverJobFinished(succeeded);
    if (succeeded) {
        finishSuccessfulTranscription(transcripts, folder);
        return;
    }
    Log::write(QStringLiteral("[MurmexTranscription] El servidor local falló; se transcribe con el motor de línea de órdenes."));
    QProcess *server = std::exchange(whisperServerProcess, nullptr);
    endProcess(server);
    if (server)
        server->deleteLater();
    for (const QString &transcript : transcripts)
        QFile::remove(transcript);
    transcribe(segments, folder);
}

// MARK: - Finishing

QString WhisperTranscriptionService::finalText(const QStringList &transcripts) const
{
    QStringList kept;
    for (const QString &path : transcripts) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QString text = QString::fromUtf8(file.readAll()).split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts).join(QLatin1Char(' '));
        if (const auto speech = speechOnlyTranscript(text))
            kept.append(*speech);
    }
    const QString joined = kept.join(QLatin1Char(' '));
    return services.applyPersonalDictionary ? services.applyPersonalDictionary(joined, language()) : joined;
}

void WhisperTranscriptionService::finishTranscription(int exitStatus, TranscriptionBackend, const QStringList &transcripts, const QString &logFile,
                                                      const QString &folder)
{
    transcriptionFolder_.clear();
    const QString text = finalText(transcripts);
    if (exitStatus == 0 && !text.isEmpty())
        return deliver(text, folder);
    if (exitStatus == 0) {
        endWithoutText(folder);
        return;
    }
    Log::write(QStringLiteral("[MurmexTranscription] El motor terminó con el estado %1; se conserva %2.").arg(exitStatus).arg(folder));
    if (host)
        host->clearInsertionTarget();
    QFile::remove(logFile);
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
    services.removeRecordingFolder(folder);
    if (host)
        host->clearInsertionTarget();
    endJob();
}

void WhisperTranscriptionService::deliver(const QString &text, const QString &folder)
{
    traceRecordingStartup(QStringLiteral("text-finished"));
    QPointer<WhisperTranscriptionService> weak(this);
    services.insertion.pasteAtCapturedCursor(text, host ? host->insertionTarget() : std::nullopt, [weak, folder] {
        if (!weak)
            return;
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
    services.defaults.setString(QStringLiteral("lastRecoveryNotice"), folder);
    services.defaults.sync();
    const int chosen = services.alerts.showWarning(title, message + QStringLiteral("\n\n") + folder,
                                                   {QStringLiteral("Mostrar grabación"), QStringLiteral("Aceptar")});
    if (chosen == 0)
        services.shell.revealInFileBrowser(folder);
}
