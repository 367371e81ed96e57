// The dictation controller: its construction, launch and shutdown, and its state.

#include "AppDelegate.h"
#include "AppDelegateSupport.h"

#include "Bundle.h"
#include "RuntimeStateFile.h"
#include "audio/RecorderFactory.h"
#include "audio/SegmentFile.h"
#include "brand/BrandAssets.h"
#include "cues/SoundCues.h"
#include "dictionary/PersonalDictionaryStore.h"
#include "insertion/RecordingIndicator.h"
#include "platform/Alerts.h"
#include "platform/Platform.h"
#include "support/Log.h"
#include "support/PrivateFiles.h"
#include "updates/AutoUpdater.h"
#include "volume/OutputVolumeController.h"

#include <QFileInfo>
#include <QMenu>

Q_LOGGING_CATEGORY(lcDictation, "murmex.app", QtInfoMsg)

using namespace AppDelegateSupport;


AppDelegate::AppDelegate(Platform &platform, Settings &defaults, Subsystems subsystems, QObject *parent)
    : QObject(parent),
      platform(platform),
      defaults(defaults),
      subsystems(std::move(subsystems)),
      recordingStartupQueue(std::make_unique<SerialQueue>(QStringLiteral("com.tarvo.murmex.recording-startup"))),
      recordingTeardownQueue(std::make_unique<SerialQueue>(QStringLiteral("com.tarvo.murmex.recording-teardown")))
{
    this->subsystems.transcription->setHost(this);
}

AppDelegate::~AppDelegate()
{
    // Blocks still queued see the controller gone and only clean up.
    lifetime.reset();
    // The transcription goes first, while everything it could report to still exists; it reports
    // nothing once detached.
    subsystems.transcription->setHost(nullptr);
    subsystems.transcription->terminateProcesses();
    subsystems.transcription.reset();
}

// MARK: - Launch and shutdown

void AppDelegate::applicationDidFinishLaunching()
{
    // 1. No main window: Murmex lives in the tray (QApplication is set up so in main()).
    // 2–3. Another copy is being started instead of this one: nothing of this one starts.
    if (subsystems.selfInstaller->installAndRelaunchIfNeeded() || subsystems.autoUpdater->applyStagedUpdateOnLaunchIfNeeded()) {
        Log::write(QStringLiteral("[MurmexRuntime] Se abre otra copia de Murmex en lugar de esta."));
        return;
    }
    // What an earlier run left: its state file (read before the first write), files made readable
    // by earlier versions, and segments cut short by a crash, which get the header their audio needs.
    findInterruptedDictation();
    PrivateFiles::tighten(AppStorage::supportRootURL());
    SegmentFile::repairInterruptedRecordings(AppStorage::recordingsRootURL());
    // 4–8.
    persistRuntimeState();
    QPointer<AppDelegate> weak(this);
    subsystems.autoUpdater->start([weak] { return weak && weak->state_ == DictationState::idle; });
    subsystems.outputVolume->restoreVolumeLeftByCrash();
    subsystems.outputVolume->warmUp();
    subsystems.soundCues->loadEmbeddedSounds();
    // 9–12.
    settings_ = AppSettings::load(defaults);
    BrandAssets::prewarmStatusImages();
    if (subsystems.personalDictionaryStore) {
        // A dictionary that cannot be read only means no substitutions for that language.
        for (TranscriptionLanguage language : allTranscriptionLanguages)
            if (const auto loaded = subsystems.personalDictionaryStore->entries(language); !loaded)
                Log::write(QStringLiteral("[MurmexDictionary] %1").arg(loaded.error().description));
    }
    // 13–15.
    updateStatusIcon();
    buildStatusMenu();
    statusItem_.show(statusMenu_.get());
    registerDictationHotKeyAtLaunch();
    // 16. Synthetic keys and the accessibility bus are set up with the platform in main().
    // 17–19.
    cleanupExpiredRecordingFolders();
    scheduleExpiredRecordingsCleanup();
    subsystems.transcription->startServices();
    // Capture warm-up, ordered before any recording start-up.
    recordingStartupQueue->async([recorders = subsystems.recorders] { recorders->warmUp(); });
    // 20. The new version runs: the swap job may stop waiting.
    QTimer::singleShot(1000, this, [this] { subsystems.autoUpdater->acknowledgeUpdaterHealthCheck(); });
    // After the launch, not inside it: the alert waits for an answer.
    QTimer::singleShot(0, this, &AppDelegate::offerInterruptedDictation);
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
    subsystems.autoUpdater->installPendingOnQuit();
    subsystems.hotKeys->unregisterDictationHotKey();
    subsystems.hotKeys->unregisterAbortHotKey();
    subsystems.hotKeys->removeHandler();
    discardTimer(recorderRestartWorkItem);
    stopActiveRecorderForUserAction();
    stopSpeechMeterTimer();
    discardTimer(expiredRecordingsCleanupTimer);
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
    if (!audioRecorder && state_ != DictationState::starting && state_ != DictationState::recording) {
        if (state_ == DictationState::idle)
            subsystems.outputVolume->resetOutputVolumeRestoreRetries();
        subsystems.outputVolume->restoreOutputVolumeAfterRecording();
    }
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
    if (!hasTerminated) // the file was removed at shutdown and stays removed
        persistRuntimeState();
    emit stateChanged(newState);
}

void AppDelegate::persistRuntimeState()
{
    QString folder;
    if (state_ == DictationState::starting || state_ == DictationState::recording)
        folder = recordingFolder_;
    else if (state_ == DictationState::transcribing)
        folder = subsystems.transcription->transcriptionFolder();
    RuntimeStateFile::persist(state_, folder.isEmpty() ? QString() : QFileInfo(folder).fileName());
}

void AppDelegate::updateStatusIcon()
{
    statusItem_.update(state_, settings_.shortcut.display, settings_.pushToTalk);
}

void AppDelegate::showTextLeftOnClipboard(const QString &text, const QString &reason)
{
    statusItem_.showMessage(QStringLiteral("El texto está en el portapapeles"),
                            QStringLiteral("«%1» %2 Pégalo con Ctrl+V donde quieras.").arg(firstWords(text), reason));
}

QString AppDelegate::firstWords(const QString &text, int maxWords)
{
    constexpr qsizetype maxCharacters = 60;
    const QStringList words = text.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    QString shown = words.mid(0, maxWords).join(QLatin1Char(' '));
    bool cut = words.size() > maxWords;
    if (shown.size() > maxCharacters) {
        shown.truncate(maxCharacters);
        // Never leave half of a surrogate pair at the end.
        if (shown.back().isHighSurrogate())
            shown.chop(1);
        cut = true;
    }
    return cut ? shown + QStringLiteral("…") : shown;
}

void AppDelegate::showAlert(const QString &message, const QString &informativeText)
{
    if (hasTerminated) {
        Log::write(QStringLiteral("[MurmexRuntime] Aviso no mostrado durante el cierre: %1 — %2").arg(message, informativeText));
        return;
    }
    platform.alerts.showWarning(message, informativeText, {aceptar});
}

