#include "AppDelegate.h"

#include "AppStorage.h"
#include "Bundle.h"
#include "RuntimeStateFile.h"
#include "audio/RecorderFactory.h"
#include "cues/SoundCues.h"
#include "dictionary/PersonalDictionaryStore.h"
#include "hotkeys/ShortcutRecorderController.h"
#include "insertion/RecordingIndicator.h"
#include "platform/Alerts.h"
#include "platform/ApplicationShell.h"
#include "platform/FrontmostApplication.h"
#include "platform/MicrophoneAuthorization.h"
#include "platform/Platform.h"
#include "support/Log.h"
#include "support/Settings.h"
#include "support/StartupTrace.h"
#include "volume/OutputVolumeController.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QLocale>
#include <QLoggingCategory>
#include <QUuid>

#include <algorithm>
#include <filesystem>

Q_LOGGING_CATEGORY(lcDictation, "murmex.app", QtInfoMsg)

namespace {

const QString noSePudoGrabar = QStringLiteral("No se pudo grabar");
const QString aceptar = QStringLiteral("Aceptar");

// Runs `work` on the main thread's event loop. The work itself checks what it needs still exists.
template <typename Work>
void onMainThread(Work &&work)
{
    QMetaObject::invokeMethod(QCoreApplication::instance(), std::forward<Work>(work), Qt::QueuedConnection);
}

void removeFolderIfOwned(const QString &folder)
{
    AppStorage::removeRecordingFolderIfOwned(folder, AppStorage::recordingsRootURL());
}

// Detaching first means a stop that Murmex asks for is never reported back as an interruption.
void detachAndStop(const std::shared_ptr<DictationAudioRecorder> &recorder)
{
    if (!recorder)
        return;
    recorder->setOnUnexpectedStop({});
    recorder->stop();
}

// A timer may be discarded from its own timeout handler: stop it now, delete it from the event loop.
void discardTimer(std::unique_ptr<QTimer> &timer)
{
    if (!timer)
        return;
    timer->stop();
    timer.release()->deleteLater();
}

bool isSpeechLevel(const DictationAudioRecorder &recorder)
{
    return recorder.averagePower(0) > -44.0f || recorder.peakPower(0) > -32.0f;
}

} // namespace

AppDelegate::AppDelegate(Platform &platform, Settings &defaults, Subsystems subsystems, QObject *parent)
    : QObject(parent),
      platform(platform),
      defaults(defaults),
      subsystems(std::move(subsystems)),
      recordingStartupQueue(std::make_unique<SerialQueue>(QStringLiteral("com.tarvo.murmex.recording-startup"))),
      recordingTeardownQueue(std::make_unique<SerialQueue>(QStringLiteral("com.tarvo.murmex.recording-teardown")))
{
    this->subsystems.transcription->setHost(this);
    connect(&statusItem_, &StatusItem::quitRequested, this, &AppDelegate::quitApplication);
    // Queued: the menu closes first, so its deactivation cannot cancel the new panel.
    connect(&statusItem_, &StatusItem::shortcutRecorderRequested, this, &AppDelegate::openShortcutRecorder, Qt::QueuedConnection);
}

AppDelegate::~AppDelegate()
{
    // Blocks still queued see the controller gone and only clean up.
    lifetime.reset();
}

// MARK: - Launch and shutdown

void AppDelegate::applicationDidFinishLaunching()
{
    persistRuntimeState();
    subsystems.outputVolume->restoreVolumeLeftByCrash();
    settings_ = AppSettings::load(defaults);
    if (subsystems.personalDictionaryStore) {
        // A dictionary that cannot be read only means no substitutions for that language.
        for (TranscriptionLanguage language : allTranscriptionLanguages)
            if (const auto loaded = subsystems.personalDictionaryStore->entries(language); !loaded)
                Log::write(QStringLiteral("[MurmexDictionary] %1").arg(loaded.error().description));
    }
    updateStatusIcon();
    statusItem_.showWithMenu(Bundle::shortVersion(), settings_.shortcut.display);

    subsystems.hotKeys->installHandler(*this);
    hotKeyIsDown = false;
    subsystems.hotKeys->unregisterDictationHotKey();
    if (subsystems.hotKeys->registerDictationHotKey(settings_.shortcut) == HotKeys::Registration::taken)
        showShortcutUnavailableAlert(settings_.shortcut);

    subsystems.transcription->startServices();

    // Capture warm-up, ordered before any recording start-up.
    recordingStartupQueue->async([recorders = subsystems.recorders] { recorders->warmUp(); });
}

void AppDelegate::applicationWillTerminate()
{
    if (hasTerminated)
        return;
    hasTerminated = true;
    if (recordingStartupCancellation)
        recordingStartupCancellation->cancel();
    if (recorderRestartCancellation)
        recorderRestartCancellation->cancel();
    RuntimeStateFile::remove();
    subsystems.hotKeys->unregisterDictationHotKey();
    subsystems.hotKeys->unregisterAbortHotKey();
    subsystems.hotKeys->removeHandler();
    discardTimer(recorderRestartWorkItem);
    stopActiveRecorderForUserAction();
    stopSpeechMeterTimer();
    subsystems.transcription->terminateProcesses();
    subsystems.soundCues->terminateProcesses();
    subsystems.soundCues->cancelPreparedStartCue();
    subsystems.recordingIndicatorController->hide();
    subsystems.outputVolume->restoreOutputVolumeAfterRecording();
    emit terminated();
}

AppDelegate::TerminateReply AppDelegate::applicationShouldTerminate()
{
    if (recordingStartupCancellation) {
        systemTerminationPending = true;
        ++recordingStartupGeneration;
        recordingStartupCancellation->cancel();
        ++recorderRestartGeneration;
        if (recorderRestartCancellation)
            recorderRestartCancellation->cancel();
        return TerminateReply::terminateLater;
    }
    if (recorderRestartCancellation) {
        systemTerminationPending = true;
        ++recordingStartupGeneration;
        ++recorderRestartGeneration;
        recorderRestartCancellation->cancel();
        return TerminateReply::terminateLater;
    }
    if (userRequestedQuit || state_ == DictationState::idle)
        return TerminateReply::terminateNow;
    return TerminateReply::terminateCancel;
}

void AppDelegate::requestTermination()
{
    const TerminateReply reply = applicationShouldTerminate();
    qCDebug(lcDictation) << "termination requested, reply" << int(reply);
    if (reply == TerminateReply::terminateNow)
        applicationWillTerminate();
}

void AppDelegate::replyToApplicationShouldTerminate(bool shouldTerminate)
{
    if (shouldTerminate)
        applicationWillTerminate();
}

void AppDelegate::quitApplication()
{
    if (!recordingStartupCancellation && !recorderRestartCancellation) {
        switch (state_) {
        case DictationState::starting:
            userRequestedQuit = true;
            quitAfterRecordingStartupCleanup = true;
            abortCurrentDictation();
            return;
        case DictationState::recording:
            abortCurrentDictation();
            userRequestedQuit = true;
            requestTermination();
            return;
        case DictationState::idle:
        case DictationState::transcribing:
            userRequestedQuit = true;
            requestTermination();
            return;
        }
    }
    userRequestedQuit = true;
    quitAfterRecordingStartupCleanup = true;
    if (state_ == DictationState::starting || state_ == DictationState::recording) {
        abortCurrentDictation();
        return;
    }
    ++recordingStartupGeneration;
    if (recordingStartupCancellation)
        recordingStartupCancellation->cancel();
    ++recorderRestartGeneration;
    if (recorderRestartCancellation)
        recorderRestartCancellation->cancel();
}

void AppDelegate::finishDeferredQuitAfterRecordingStartupCleanup()
{
    if (recordingStartupCancellation || recorderRestartCancellation)
        return;
    if (!audioRecorder && state_ != DictationState::starting && state_ != DictationState::recording)
        subsystems.outputVolume->restoreOutputVolumeAfterRecording();
    if (systemTerminationPending) {
        systemTerminationPending = false;
        replyToApplicationShouldTerminate(true);
    } else if (quitAfterRecordingStartupCleanup) {
        quitAfterRecordingStartupCleanup = false;
        requestTermination();
    }
}

// MARK: - State

void AppDelegate::setState(DictationState newState)
{
    if (state_ != newState)
        qCDebug(lcDictation) << "state" << rawValue(state_) << "->" << rawValue(newState);
    state_ = newState;
    if (newState == DictationState::idle)
        subsystems.soundCues->cancelPreparedStartCue();
    persistRuntimeState();
    emit stateChanged(newState);
}

void AppDelegate::persistRuntimeState()
{
    RuntimeStateFile::persist(state_);
}

void AppDelegate::updateStatusIcon()
{
    statusItem_.update(state_, settings_.shortcut.display);
}

void AppDelegate::showAlert(const QString &message, const QString &informativeText)
{
    platform.alerts.showWarning(message, informativeText, {aceptar});
}

// MARK: - Hot keys

bool AppDelegate::isAnyPanelOpen() const
{
    return shortcutRecorderController || personalDictionaryController || recordingVolumeController;
}

void AppDelegate::dictationHotKeyReleased()
{
    hotKeyIsDown = false;
}

void AppDelegate::dictationHotKeyPressed()
{
    if (isAnyPanelOpen() || hotKeyIsDown)
        return;
    hotKeyIsDown = true;
    switch (state_) {
    case DictationState::idle: beginRecordingWithPermission(); break;
    case DictationState::starting: abortCurrentDictation(); break;
    case DictationState::recording: stopRecordingAndTranscribe(); break;
    case DictationState::transcribing: platform.shell.beep(); break;
    }
}

void AppDelegate::abortHotKeyPressed()
{
    abortCurrentDictation();
}

void AppDelegate::showShortcutUnavailableAlert(const Shortcut &shortcut)
{
    platform.alerts.showInformational(QStringLiteral("Atajo no disponible"),
                                      shortcut.display + QStringLiteral(" ya lo utiliza macOS u otra aplicación. Elige otro."), {aceptar});
}

bool AppDelegate::applyShortcut(const Shortcut &newShortcut)
{
    const Shortcut previous = settings_.shortcut;
    hotKeyIsDown = false;
    subsystems.hotKeys->unregisterDictationHotKey();
    if (subsystems.hotKeys->registerDictationHotKey(newShortcut) != HotKeys::Registration::taken) {
        settings_.shortcut = newShortcut;
        newShortcut.save(defaults);
        defaults.sync();
        statusItem_.setShortcutDisplay(newShortcut.display);
        updateStatusIcon();
        return true;
    }
    // The old combination comes back; nothing is stored.
    hotKeyIsDown = false;
    subsystems.hotKeys->unregisterDictationHotKey();
    (void)subsystems.hotKeys->registerDictationHotKey(previous);
    showShortcutUnavailableAlert(newShortcut);
    return false;
}

void AppDelegate::openShortcutRecorder()
{
    if (auto *open = qobject_cast<ShortcutRecorderController *>(shortcutRecorderController.data())) {
        open->showWindow();
        return;
    }
    QPointer<AppDelegate> weak(this);
    auto *panel = new ShortcutRecorderController(settings_.shortcut, platform.shell, [weak](std::optional<Shortcut> chosen) {
        if (!weak)
            return;
        if (chosen)
            weak->applyShortcut(*chosen);
        if (weak->shortcutRecorderController)
            weak->shortcutRecorderController->deleteLater();
        weak->shortcutRecorderController = nullptr;
    });
    shortcutRecorderController = panel;
    panel->showWindow();
}

void AppDelegate::registerAbortKey()
{
    subsystems.hotKeys->unregisterAbortHotKey();
    if (!subsystems.hotKeys->registerAbortHotKey())
        subsystems.hotKeys->installAbortKeyMonitorFallback();
}

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
                                                   QStringLiteral("Autoriza Murmex en Privacidad y seguridad → Micrófono."),
                                                   {QStringLiteral("Abrir Ajustes"), QStringLiteral("Cancelar")});
    if (chosen == 0)
        platform.shell.openMicrophoneSettings();
}

void AppDelegate::startRecording()
{
    if (state_ != DictationState::idle || recordingStartupCancellation || recorderRestartCancellation || userRequestedQuit
        || quitAfterRecordingStartupCleanup || systemTerminationPending)
        return;
    const std::optional<qint64> pid = platform.frontmostApplication.frontmostProcessId();
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
    std::error_code error;
    std::filesystem::create_directories(QFile::encodeName(folder).toStdString(), error);
    if (error) {
        const QString reason = QString::fromStdString(error.message());
        Log::write(QStringLiteral("[MurmexRecording] No se pudo crear la carpeta de grabación %1: %2").arg(folder, reason));
        return std::unexpected(Error{QStringLiteral("MurmexStorage"), error.value(),
                                     QStringLiteral("No se pudo crear la carpeta «%1»: %2.").arg(folder, reason)});
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
    subsystems.hotKeys->unregisterAbortHotKey();
    insertionTarget_ = platform.frontmostApplication.frontmostProcessId();
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
    insertionTarget_.reset();
    setState(DictationState::idle);
    updateStatusIcon();
    Log::write(QStringLiteral("[MurmexRecording] No se detectó voz: la grabación se descarta."));
    removeFolderIfOwned(folder);
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
    insertionTarget_.reset();
    subsystems.recordingIndicatorController->hide();
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
    setState(DictationState::transcribing);
    updateStatusIcon();
}

void AppDelegate::transcriptionDidEnd()
{
    setState(DictationState::idle);
    subsystems.outputVolume->restoreOutputVolumeAfterRecording();
    updateStatusIcon();
    insertionTarget_.reset();
}

// MARK: - Recorders, metering and restarts

void AppDelegate::attachRecorder(const std::shared_ptr<DictationAudioRecorder> &recorder)
{
    audioRecorder = recorder;
    QPointer<AppDelegate> weak(this);
    std::weak_ptr<DictationAudioRecorder> weakRecorder = recorder;
    recorder->setOnUnexpectedStop([weak, weakRecorder] {
        onMainThread([weak, weakRecorder] {
            if (weak)
                weak->recorderStoppedUnexpectedly(weakRecorder);
        });
    });
    startSpeechMetering(recorder);
}

void AppDelegate::recorderStoppedUnexpectedly(const std::weak_ptr<DictationAudioRecorder> &recorder)
{
    const auto stopped = recorder.lock();
    if (!stopped || stopped != audioRecorder || state_ != DictationState::recording)
        return;
    Log::write(QStringLiteral("[MurmexRecording] La grabación se interrumpió; se reanuda en un segmento nuevo."));
    audioRecorder.reset();
    stopSpeechMeterTimer();
    scheduleRecorderRestart();
}

void AppDelegate::startSpeechMetering(const std::shared_ptr<DictationAudioRecorder> &recorder)
{
    speechMeterTimer = std::make_unique<QTimer>();
    speechMeterTimer->setInterval(80);
    std::weak_ptr<DictationAudioRecorder> weakRecorder = recorder;
    connect(speechMeterTimer.get(), &QTimer::timeout, this, [this, weakRecorder] {
        const auto metered = weakRecorder.lock();
        if (!metered || state_ != DictationState::recording || metered != audioRecorder)
            return;
        if (metered->isRecording()) {
            metered->updateMeters();
            if (metered->currentTime() >= 5.0)
                recorderRestartAttempts = 0;
            if (isSpeechLevel(*metered) && !detectedSpeech) {
                detectedSpeech = true;
                Log::write(QStringLiteral("[MurmexRecording] Voz detectada."));
            }
            return;
        }
        // It stopped by itself without telling: replace it on a new segment.
        detachAndStop(metered);
        audioRecorder.reset();
        stopSpeechMeterTimer();
        scheduleRecorderRestart();
    });
    speechMeterTimer->start();
}

double AppDelegate::recorderRestartDelay(qint64 attempts)
{
    return std::min(double(attempts) * 0.25, 2.0);
}

void AppDelegate::scheduleRecorderRestart()
{
    if (state_ != DictationState::recording || recorderRestartWorkItem)
        return;
    ++recorderRestartAttempts;
    const double delay = recorderRestartDelay(recorderRestartAttempts);
    statusItem_.setToolTip(QStringLiteral("Reconectando el micrófono… la grabación anterior está guardada"));
    recorderRestartWorkItem = std::make_unique<QTimer>();
    recorderRestartWorkItem->setSingleShot(true);
    connect(recorderRestartWorkItem.get(), &QTimer::timeout, this, [this] {
        if (state_ != DictationState::recording)
            return;
        discardTimer(recorderRestartWorkItem);
        if (settings_.computerAudioMode == ComputerAudioMode::allow) {
            if (startNewRecordingSegment())
                updateStatusIcon();
            else
                scheduleRecorderRestart();
        } else {
            startNewIsolatedRecordingSegmentAsync();
        }
    });
    recorderRestartWorkItem->start(int(delay * 1000));
}

QString AppDelegate::nextSegmentPath() const
{
    return recordingFolder_ + QStringLiteral("/segment-%1.wav").arg(recordingSegments_.size() + 1, 3, 10, QLatin1Char('0'));
}

Expected<void> AppDelegate::startNewRecordingSegment()
{
    if (recordingFolder_.isEmpty())
        return std::unexpected(Error{QStringLiteral("Murmex"), 2, QStringLiteral("No existe una carpeta de grabación activa.")});
    const QString segment = nextSegmentPath();
    auto recorder = subsystems.recorders->makeStartedRecorder(segment, settings_.computerAudioMode, nullptr);
    if (!recorder)
        return std::unexpected(recorder.error());
    recordingSegments_.append(segment);
    attachRecorder(*recorder);
    return {};
}

void AppDelegate::startNewIsolatedRecordingSegmentAsync()
{
    if (state_ != DictationState::recording || audioRecorder || recordingFolder_.isEmpty())
        return;
    const QString folder = recordingFolder_;
    const QString segment = nextSegmentPath();
    if (recorderRestartCancellation)
        recorderRestartCancellation->cancel();
    auto token = std::make_shared<RecordingStartupCancellation>();
    recorderRestartCancellation = token;
    const qint64 generation = ++recorderRestartGeneration;

    QPointer<AppDelegate> weak(this);
    SerialQueue *startupQueue = recordingStartupQueue.get();
    recordingStartupQueue->async([weak, alive = std::weak_ptr<int>(lifetime), recorders = subsystems.recorders, startupQueue, folder,
                                  segment, token, generation] {
        if (alive.expired())
            return;
        if (token->isCancelled()) {
            onMainThread([weak, segment, token] {
                if (weak)
                    weak->discardRestartResult(segment, token, nullptr);
            });
            return;
        }
        auto result = recorders->makeStartedRecorder(segment, ComputerAudioMode::exclude, token);
        startupQueue->suspend();
        onMainThread([weak, folder, segment, token, generation, result] {
            if (!weak) {
                if (result)
                    detachAndStop(*result);
                return;
            }
            weak->handleRestartResult(folder, segment, token, generation, result);
        });
    });
}

void AppDelegate::handleRestartResult(const QString &folder, const QString &segment, const RecordingStartupToken &token, qint64 generation,
                                      Expected<std::shared_ptr<DictationAudioRecorder>> result)
{
    const bool current = generation == recorderRestartGeneration && !token->isCancelled() && state_ == DictationState::recording
        && !audioRecorder && recordingFolder_ == folder;
    if (!current || (result && !(*result)->isRecording())) {
        discardRestartResult(segment, token, result ? *result : nullptr);
        recordingStartupQueue->resume();
        return;
    }
    if (!result) {
        releaseRecorderRestartToken(token);
        finishDeferredQuitAfterRecordingStartupCleanup();
        QFile::remove(segment);
        scheduleRecorderRestart();
    } else {
        recordingSegments_.append(segment);
        releaseRecorderRestartToken(token);
        finishDeferredQuitAfterRecordingStartupCleanup();
        attachRecorder(*result);
        updateStatusIcon();
    }
    recordingStartupQueue->resume();
}

void AppDelegate::discardRestartResult(const QString &segment, const RecordingStartupToken &token, std::shared_ptr<DictationAudioRecorder> recorder)
{
    QPointer<AppDelegate> weak(this);
    recordingTeardownQueue->async([weak, recorder, segment, token] {
        detachAndStop(recorder);
        QFile::remove(segment);
        onMainThread([weak, token] {
            if (!weak)
                return;
            weak->releaseRecorderRestartToken(token);
            weak->finishDeferredQuitAfterRecordingStartupCleanup();
        });
    });
}

void AppDelegate::releaseRecorderRestartToken(const RecordingStartupToken &token)
{
    if (recorderRestartCancellation == token)
        recorderRestartCancellation.reset();
}
