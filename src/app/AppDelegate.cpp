// The dictation controller: its construction, launch and shutdown, and its state.

#include "AppDelegate.h"
#include "AppDelegateSupport.h"

#include "Bundle.h"
#include "RuntimeStateFile.h"
#include "audio/RecorderFactory.h"
#include "audio/SegmentFile.h"
#include "cues/SoundCues.h"
#include "dictionary/PersonalDictionaryStore.h"
#include "insertion/RecordingIndicator.h"
#include "platform/Alerts.h"
#include "platform/Platform.h"
#include "support/Log.h"
#include "support/PrivateFiles.h"
#include "volume/OutputVolumeController.h"

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
    connect(&statusItem_, &StatusItem::quitRequested, this, &AppDelegate::quitApplication);
    // Queued: the menu closes first, so its deactivation cannot cancel the new panel.
    connect(&statusItem_, &StatusItem::shortcutRecorderRequested, this, &AppDelegate::openShortcutRecorder, Qt::QueuedConnection);
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
    RuntimeStateFile::reportUncleanEndOfEarlierRun();
    PrivateFiles::tighten(AppStorage::supportRootURL()); // also what earlier versions left readable
    persistRuntimeState();
    subsystems.outputVolume->restoreVolumeLeftByCrash();
    // Segments of a dictation cut short by a crash get the header their audio needs.
    SegmentFile::repairInterruptedRecordings(AppStorage::recordingsRootURL());
    settings_ = AppSettings::load(defaults);
    if (subsystems.personalDictionaryStore) {
        // A dictionary that cannot be read only means no substitutions for that language.
        for (TranscriptionLanguage language : allTranscriptionLanguages)
            if (const auto loaded = subsystems.personalDictionaryStore->entries(language); !loaded)
                Log::write(QStringLiteral("[MurmexDictionary] %1").arg(loaded.error().description));
    }
    updateStatusIcon();
    statusItem_.showWithMenu(Bundle::shortVersion(), settings_.shortcut.display);

    registerDictationHotKeyAtLaunch();

    subsystems.transcription->startServices();
    cleanupExpiredRecordingFolders();
    scheduleExpiredRecordingsCleanup();

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
    discardTimer(expiredRecordingsCleanupTimer);
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
    if (!hasTerminated) // the file was removed at shutdown and stays removed
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

