// The dictation controller: the recorder of a dictation, its speech meter and its restarts on new segments.

#include "AppDelegate.h"
#include "AppDelegateSupport.h"

#include "audio/RecorderFactory.h"
#include "audio/SegmentFile.h"
#include "support/Log.h"

#include <QFile>

#include <algorithm>

using namespace AppDelegateSupport;

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
    if (stopped->ranOutOfDiskSpace())
        return stopRecordingForLackOfDiskSpace();
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
        if (metered->ranOutOfDiskSpace())
            return stopRecordingForLackOfDiskSpace();
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
    if (!current) {
        discardRestartResult(segment, token, result ? *result : nullptr);
        recordingStartupQueue->resume();
        return;
    }
    if (!result || !(*result)->isRecording()) {
        // The new recorder failed to start or already stopped again: the dictation goes on with the
        // next restart, and whatever the short-lived segment caught stays part of it.
        const bool outOfSpace = result && (*result)->ranOutOfDiskSpace();
        if (result)
            detachAndStop(*result);
        releaseRecorderRestartToken(token);
        finishDeferredQuitAfterRecordingStartupCleanup();
        if (SegmentFile::holdsAudio(segment))
            recordingSegments_.append(segment);
        else
            QFile::remove(segment);
        if (state_ == DictationState::recording) {
            if (outOfSpace)
                stopRecordingForLackOfDiskSpace();
            else
                scheduleRecorderRestart();
        }
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
        if (!SegmentFile::holdsAudio(segment))
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
