// The dictation controller: starting, stopping and aborting a dictation, and handing it to transcription.

#include "AppDelegate.h"
#include "AppDelegateSupport.h"

#include "audio/RecorderFactory.h"
#include "audio/SegmentFile.h"
#include "cues/SoundCues.h"
#include "insertion/RecordingIndicator.h"
#include "platform/Alerts.h"
#include "platform/ApplicationShell.h"
#include "platform/FrontmostApplication.h"
#include "platform/MicrophoneAuthorization.h"
#include "platform/Platform.h"
#include "support/Log.h"
#include "support/PrivateFiles.h"
#include "support/StartupTrace.h"
#include "volume/OutputVolumeController.h"

#include <QDateTime>
#include <QFile>
#include <QLocale>
#include <QUuid>

#include <cerrno>
#include <cstring>

using namespace AppDelegateSupport;

// MARK: - Starting a dictation

void AppDelegate::beginRecordingWithPermission()
{
    switch (platform.microphoneAuthorization.status()) {
    case MicrophoneAuthorization::Status::authorized:
        startRecording();
        return;
    case MicrophoneAuthorization::Status::notDetermined: {
        QPointer<AppDelegate> weak(this);
        platform.microphoneAuthorization.requestAccess([weak](bool granted) {
            onMainThread([weak, granted] {
                if (!weak)
                    return;
                if (granted)
                    weak->startRecording();
                else
                    weak->showMicrophonePermissionAlert();
            });
        });
        return;
    }
    case MicrophoneAuthorization::Status::denied:
    case MicrophoneAuthorization::Status::restricted:
        showMicrophonePermissionAlert();
        return;
    }
}

void AppDelegate::showMicrophonePermissionAlert()
{
    const int chosen = platform.alerts.showWarning(QStringLiteral("Permiso de micrófono necesario"),
                                                   QStringLiteral("Permite que Murmex use el micrófono en la configuración de privacidad del escritorio."),
                                                   {QStringLiteral("Abrir configuración"), QStringLiteral("Cancelar")});
    if (chosen == 0)
        platform.shell.openMicrophoneSettings();
}

void AppDelegate::startRecording()
{
    if (state_ != DictationState::idle || recordingStartupCancellation || recorderRestartCancellation || userRequestedQuit
        || quitAfterRecordingStartupCleanup || systemTerminationPending)
        return;
    const std::optional<qint64> pid = platform.frontmostApplication.frontmostProcessId();
    // The text goes into the window the user started dictating into, and nowhere else.
    insertionTarget_ = platform.frontmostApplication.focusedWindow();
    traceRecordingStartup(QStringLiteral("shortcut"));
    setState(DictationState::starting);
    updateStatusIcon();
    registerAbortKey();
    subsystems.outputVolume->restoreOutputVolumeAfterRecording();
    startRecordingCapture(pid);
    if (state_ == DictationState::starting) {
        subsystems.outputVolume->restoreOutputVolumeAfterRecording();
        subsystems.outputVolume->takeOutputVolumeSnapshotIfNeeded();
        traceRecordingStartup(QStringLiteral("volume-snapshot-ready"));
        subsystems.recordingIndicatorController->prepare(pid);
    }
    if (state_ == DictationState::starting && settings_.computerAudioMode == ComputerAudioMode::allow)
        subsystems.soundCues->prepareStartCue();
}

void AppDelegate::startRecordingCapture(std::optional<qint64> targetApplicationPID)
{
    if (state_ != DictationState::starting)
        return;
    const Expected<QString> folder = createRecordingFolder();
    if (!folder) {
        subsystems.hotKeys->unregisterAbortHotKey();
        recordingFolder_.clear();
        recordingSegments_.clear();
        setState(DictationState::idle);
        subsystems.outputVolume->resetOutputVolumeRestoreRetries();
        subsystems.outputVolume->restoreOutputVolumeAfterRecording();
        updateStatusIcon();
        subsystems.recordingIndicatorController->hide();
        showAlert(noSePudoGrabar, folder.error().description);
        return;
    }
    detectedSpeech = false;
    recorderRestartAttempts = 0;
    recordingMode = settings_.computerAudioMode;
    launchRecordingStartup(*folder, *folder + QStringLiteral("/segment-001.wav"), recordingMode, targetApplicationPID);
}

Expected<QString> AppDelegate::createRecordingFolder()
{
    const QString name = QLocale(QStringLiteral("en_US_POSIX")).toString(QDateTime::currentDateTime(), QStringLiteral("yyyy-MM-dd_HH-mm-ss"))
        + QLatin1Char('_') + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().left(8);
    const QString folder = AppStorage::recordingsRootURL() + QLatin1Char('/') + name;
    if (!PrivateFiles::makeFolder(AppStorage::supportRootURL(), folder)) {
        const int code = errno;
        const QString reason = QString::fromLocal8Bit(std::strerror(code));
        Log::write(QStringLiteral("[MurmexRecording] No se pudo crear la carpeta de grabación %1: %2").arg(folder, reason));
        return std::unexpected(Error{QStringLiteral("MurmexStorage"), code, QStringLiteral("No se pudo crear la carpeta «%1»: %2.").arg(folder, reason)});
    }
    return folder;
}

void AppDelegate::launchRecordingStartup(const QString &folder, const QString &segment, ComputerAudioMode mode, std::optional<qint64> pid)
{
    if (recordingStartupCancellation)
        recordingStartupCancellation->cancel();
    auto token = std::make_shared<RecordingStartupCancellation>();
    recordingStartupCancellation = token;
    const qint64 generation = ++recordingStartupGeneration;

    QPointer<AppDelegate> weak(this);
    SerialQueue *startupQueue = recordingStartupQueue.get();
    recordingStartupQueue->async([weak, alive = std::weak_ptr<int>(lifetime), recorders = subsystems.recorders, startupQueue, folder,
                                  segment, token, generation, mode, pid] {
        const auto releaseOnMainThread = [weak, token] {
            onMainThread([weak, token] {
                if (!weak)
                    return;
                weak->releaseRecordingStartupToken(token);
                weak->finishDeferredQuitAfterRecordingStartupCleanup();
            });
        };
        if (alive.expired()) {
            removeFolderIfOwned(folder);
            return;
        }
        if (token->isCancelled()) {
            removeFolderIfOwned(folder);
            releaseOnMainThread();
            return;
        }
        RecorderResult result;
        if (mode == ComputerAudioMode::exclude)
            result = recorders->makeStartedRecorder(segment, mode, token);
        if (token->isCancelled()) {
            if (result && *result)
                detachAndStop(**result);
            removeFolderIfOwned(folder);
            releaseOnMainThread();
            return;
        }
        // No later start-up may run before the main thread has handled this result.
        startupQueue->suspend();
        onMainThread([weak, folder, segment, token, generation, mode, pid, result] {
            if (!weak) {
                if (result && *result)
                    detachAndStop(**result);
                removeFolderIfOwned(folder);
                return;
            }
            weak->handleRecordingStartupResult(folder, segment, token, generation, mode, pid, result);
        });
    });
}

void AppDelegate::handleRecordingStartupResult(const QString &folder, const QString &segment, const RecordingStartupToken &token,
                                               qint64 generation, ComputerAudioMode mode, std::optional<qint64> pid, RecorderResult result)
{
    if (generation != recordingStartupGeneration || state_ != DictationState::starting || token->isCancelled()) {
        discardRecordingStartupResult(folder, token, generation, result && *result ? **result : nullptr);
        return;
    }
    if (!result)
        result = subsystems.recorders->makeStartedRecorder(segment, mode, nullptr);
    releaseRecordingStartupToken(token);

    if (*result) {
        const std::shared_ptr<DictationAudioRecorder> recorder = **result;
        recordingFolder_ = folder;
        recordingSegments_ = {segment};
        attachRecorder(recorder);
        traceRecordingStartup(QStringLiteral("recording-ready"));
        setState(DictationState::recording);
        updateStatusIcon();
        subsystems.recordingIndicatorController->show(pid);
        traceRecordingStartup(QStringLiteral("indicator-ready"));
        subsystems.outputVolume->applyOutputVolumeForRecording();
        traceRecordingStartup(QStringLiteral("volume-applied"));
        subsystems.soundCues->playRecordingStarted();
        traceRecordingStartup(QStringLiteral("cue-launched"));
    } else {
        const Error error = result->error();
        Log::write(QStringLiteral("[MurmexRecording] No se pudo iniciar la grabación: %1 (%2 %3)").arg(error.description, error.domain).arg(error.code));
        subsystems.hotKeys->unregisterAbortHotKey();
        removeFolderIfOwned(folder);
        recordingFolder_.clear();
        recordingSegments_.clear();
        setState(DictationState::idle);
        updateStatusIcon();
        subsystems.recordingIndicatorController->hide();
        QPointer<AppDelegate> weak(this);
        onMainThread([weak, generation, error] {
            if (!weak)
                return;
            weak->finishDeferredQuitAfterRecordingStartupCleanup();
            if (generation == weak->recordingStartupGeneration && weak->state_ == DictationState::idle && !weak->audioRecorder
                && !weak->userRequestedQuit)
                weak->showAlert(noSePudoGrabar, error.description);
        });
    }
    recordingStartupQueue->resume();
}

void AppDelegate::discardRecordingStartupResult(const QString &folder, const RecordingStartupToken &token, qint64 generation,
                                                std::shared_ptr<DictationAudioRecorder> recorder)
{
    qCDebug(lcDictation) << "start-up result of generation" << generation << "discarded";
    QPointer<AppDelegate> weak(this);
    SerialQueue *startupQueue = recordingStartupQueue.get();
    recordingTeardownQueue->async([weak, recorder, folder, token, generation, startupQueue] {
        detachAndStop(recorder);
        removeFolderIfOwned(folder);
        startupQueue->resume();
        onMainThread([weak, token, generation] {
            if (!weak)
                return;
            weak->releaseRecordingStartupToken(token);
            weak->finishDeferredQuitAfterRecordingStartupCleanup();
            if (generation == weak->recordingStartupGeneration && weak->state_ == DictationState::idle && !weak->userRequestedQuit)
                weak->showAlert(noSePudoGrabar, QStringLiteral("El micrófono se interrumpió durante el inicio. Inténtalo de nuevo."));
        });
    });
}

void AppDelegate::releaseRecordingStartupToken(const RecordingStartupToken &token)
{
    if (recordingStartupCancellation == token)
        recordingStartupCancellation.reset();
}

// MARK: - Stopping and aborting

void AppDelegate::stopRecordingAndTranscribe()
{
    traceRecordingStartup(QStringLiteral("stop-pressed"));
    subsystems.hotKeys->unregisterAbortHotKey();
    subsystems.recordingIndicatorController->hide();
    cancelPendingRestart();
    if (audioRecorder) {
        audioRecorder->updateMeters();
        if (isSpeechLevel(*audioRecorder))
            detectedSpeech = true;
    }
    stopActiveRecorderForUserAction();
    subsystems.outputVolume->restoreOutputVolumeAfterRecording();
    subsystems.soundCues->cancelPreparedStartCue();
    subsystems.soundCues->playRecordingStopped();
    stopSpeechMeterTimer();

    if (recordingFolder_.isEmpty() || recordingSegments_.isEmpty()) {
        // Without a segment nothing is deleted and nothing is transcribed.
        setState(DictationState::idle);
        updateStatusIcon();
        return;
    }
    const QStringList segments = recordingSegments_;
    const QString folder = recordingFolder_;
    recordingFolder_.clear();
    recordingSegments_.clear();
    if (detectedSpeech) {
        detectedSpeech = false;
        subsystems.transcription->transcribe(segments, folder);
        return;
    }
    detectedSpeech = false;
    insertionTarget_ = {};
    setState(DictationState::idle);
    updateStatusIcon();
    Log::write(QStringLiteral("[MurmexRecording] No se detectó voz: la grabación se descarta."));
    removeFolderIfOwned(folder);
}

void AppDelegate::stopRecordingForLackOfDiskSpace()
{
    if (state_ != DictationState::recording)
        return;
    const QStringList segments = recordingSegments_;
    stopRecordingAndTranscribe();
    double seconds = 0;
    for (const QString &segment : segments)
        seconds += SegmentFile::audioSeconds(segment);
    const QString kept = QStringLiteral("Disco lleno: se grabaron %1 s").arg(qRound(seconds));
    Log::write(QStringLiteral("[MurmexRecording] %1; la grabación se detuvo.").arg(kept));
    statusItem_.showMessage(kept, state_ == DictationState::transcribing
                                      ? QStringLiteral("La grabación se detuvo por falta de espacio y se transcribe lo grabado. Libera espacio para seguir dictando.")
                                      : QStringLiteral("La grabación se detuvo por falta de espacio. Libera espacio para seguir dictando."));
}

void AppDelegate::abortCurrentDictation()
{
    if (state_ != DictationState::starting && state_ != DictationState::recording)
        return;
    subsystems.hotKeys->unregisterAbortHotKey();
    ++recordingStartupGeneration;
    if (recordingStartupCancellation)
        recordingStartupCancellation->cancel(); // stays stored until its start-up releases it
    cancelPendingRestart();
    setState(DictationState::idle);
    stopActiveRecorderForUserAction();
    stopSpeechMeterTimer();
    const QString folder = recordingFolder_;
    recordingFolder_.clear();
    recordingSegments_.clear();
    detectedSpeech = false;
    insertionTarget_ = {};
    subsystems.recordingIndicatorController->hide();
    subsystems.outputVolume->resetOutputVolumeRestoreRetries();
    subsystems.outputVolume->restoreOutputVolumeAfterRecording();
    updateStatusIcon();
    if (!folder.isEmpty())
        removeFolderIfOwned(folder);
    subsystems.soundCues->cancelPreparedStartCue();
    subsystems.soundCues->playRecordingStopped();
}

void AppDelegate::stopActiveRecorderForUserAction()
{
    const std::shared_ptr<DictationAudioRecorder> recorder = std::move(audioRecorder);
    audioRecorder.reset();
    detachAndStop(recorder);
}

void AppDelegate::cancelPendingRestart()
{
    discardTimer(recorderRestartWorkItem);
    ++recorderRestartGeneration;
    if (recorderRestartCancellation)
        recorderRestartCancellation->cancel();
}

void AppDelegate::stopSpeechMeterTimer()
{
    discardTimer(speechMeterTimer);
}

// MARK: - Transcription

void AppDelegate::transcriptionDidStart()
{
    if (hasTerminated)
        return;
    setState(DictationState::transcribing);
    updateStatusIcon();
}

void AppDelegate::transcriptionDidEnd()
{
    if (hasTerminated)
        return;
    setState(DictationState::idle);
    subsystems.outputVolume->resetOutputVolumeRestoreRetries();
    subsystems.outputVolume->restoreOutputVolumeAfterRecording();
    updateStatusIcon();
    insertionTarget_ = {};
}
