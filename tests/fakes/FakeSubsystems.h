#pragma once

#include "app/AppDelegate.h"
#include "cues/SoundCues.h"
#include "hotkeys/HotKeys.h"
#include "insertion/RecordingIndicator.h"
#include "transcription/TranscriptionService.h"
#include "updates/AutoUpdater.h"
#include "volume/OutputVolumeController.h"
#include "FakeRecorder.h"

#include <QStringList>

// Every subsystem call lands in one ordered list, so a test can check what happened and in which
// order ("indicator.show", "volume.apply", "cue.started", …).
struct CallLog {
    QStringList calls;
    int count(const QString &call) const { return int(calls.count(call)); }
};

class FakeTranscriptionService final : public TranscriptionService {
public:
    explicit FakeTranscriptionService(CallLog &log) : log(log) {}
    void setHost(TranscriptionHost *newHost) override { host = newHost; }
    void transcribe(const QStringList &segments, const QString &folder) override
    {
        log.calls.append(QStringLiteral("transcribe"));
        transcribedSegments = segments;
        transcribedFolder = folder;
        host->transcriptionDidStart();
    }
    // The folder is left as it is.
    void transcribeKeptRecording(const QString &folder) override
    {
        log.calls.append(QStringLiteral("transcribe.kept"));
        keptFolder = folder;
    }
    EngineStatus engineStatus() const override { return status; }
    void startServices() override { log.calls.append(QStringLiteral("transcription.start")); }
    QString transcriptionFolder() const override { return transcribedFolder; }
    void terminateProcesses() override { log.calls.append(QStringLiteral("transcription.terminate")); }
    void finish() { host->transcriptionDidEnd(); }

    CallLog &log;
    TranscriptionHost *host = nullptr;
    QStringList transcribedSegments;
    QString transcribedFolder;
    QString keptFolder;
    EngineStatus status = EngineStatus::ready;
};

class FakeRecordingIndicator final : public RecordingIndicator {
public:
    explicit FakeRecordingIndicator(CallLog &log) : log(log) {}
    void prepare(std::optional<qint64>) override { log.calls.append(QStringLiteral("indicator.prepare")); }
    void show(std::optional<qint64>) override { log.calls.append(QStringLiteral("indicator.show")); }
    void hide() override { log.calls.append(QStringLiteral("indicator.hide")); }
    CallLog &log;
};

class FakeOutputVolume final : public OutputVolumeController {
public:
    explicit FakeOutputVolume(CallLog &log) : log(log) {}
    void restoreOutputVolumeAfterRecording() override { log.calls.append(QStringLiteral("volume.restore")); }
    void takeOutputVolumeSnapshotIfNeeded() override { log.calls.append(QStringLiteral("volume.snapshot")); }
    void applyOutputVolumeForRecording() override { log.calls.append(QStringLiteral("volume.apply")); }
    void restoreVolumeLeftByCrash() override { log.calls.append(QStringLiteral("volume.crash-restore")); }
    CallLog &log;
};

class FakeSoundCues final : public SoundCues {
public:
    explicit FakeSoundCues(CallLog &log) : log(log) {}
    void prepareStartCue() override { log.calls.append(QStringLiteral("cue.prepare")); }
    void cancelPreparedStartCue() override { log.calls.append(QStringLiteral("cue.cancel")); }
    void playRecordingStarted() override { log.calls.append(QStringLiteral("cue.started")); }
    void playRecordingStopped() override { log.calls.append(QStringLiteral("cue.stopped")); }
    void terminateProcesses() override { log.calls.append(QStringLiteral("cue.terminate")); }
    CallLog &log;
};

class FakeHotKeys final : public HotKeys {
public:
    explicit FakeHotKeys(CallLog &log) : log(log) {}
    void installHandler(HotKeyListener &) override { log.calls.append(QStringLiteral("hotkeys.install")); }
    void removeHandler() override { log.calls.append(QStringLiteral("hotkeys.remove")); }
    Registration registerDictationHotKey(const Shortcut &) override
    {
        log.calls.append(QStringLiteral("hotkeys.register"));
        return dictationRegistration;
    }
    void unregisterDictationHotKey() override { log.calls.append(QStringLiteral("hotkeys.unregister")); }
    bool registerAbortHotKey() override
    {
        log.calls.append(QStringLiteral("abort.register"));
        abortRegistered = abortRegistrationSucceeds;
        return abortRegistrationSucceeds;
    }
    void unregisterAbortHotKey() override
    {
        log.calls.append(QStringLiteral("abort.unregister"));
        abortRegistered = false;
    }
    void installAbortKeyMonitorFallback() override { log.calls.append(QStringLiteral("abort.fallback")); }
    QString unsupportedExplanation() const override { return QStringLiteral("Sin servidor X11."); }

    CallLog &log;
    Registration dictationRegistration = Registration::registered;
    bool abortRegistrationSucceeds = true;
    bool abortRegistered = false;
};

class FakeAutoUpdater final : public AutoUpdater {
public:
    explicit FakeAutoUpdater(CallLog &log) : log(log) {}
    bool applyStagedUpdateOnLaunchIfNeeded() override
    {
        log.calls.append(QStringLiteral("updater.apply-staged"));
        return appliesStagedUpdate;
    }
    void start(std::function<bool()> isSafe) override
    {
        log.calls.append(QStringLiteral("updater.start"));
        isSafeToRestart = std::move(isSafe);
    }
    void installPendingOnQuit() override { log.calls.append(QStringLiteral("updater.install-on-quit")); }
    void acknowledgeUpdaterHealthCheck() override { log.calls.append(QStringLiteral("updater.acknowledge")); }
    bool isAvailable() const override { return true; }
    CallLog &log;
    bool appliesStagedUpdate = false;
    std::function<bool()> isSafeToRestart;
};

class FakeSelfInstaller final : public SelfInstaller {
public:
    explicit FakeSelfInstaller(CallLog &log) : log(log) {}
    bool installAndRelaunchIfNeeded() override
    {
        log.calls.append(QStringLiteral("installer.install"));
        return relaunches;
    }
    CallLog &log;
    bool relaunches = false;
};

// A controller wired to fakes, with handles on each fake.
struct FakeSubsystems {
    CallLog log;
    std::shared_ptr<FakeRecorderFactory> recorders = std::make_shared<FakeRecorderFactory>();
    FakeTranscriptionService *transcription = nullptr;
    FakeHotKeys *hotKeys = nullptr;
    FakeSelfInstaller *selfInstaller = nullptr;
    FakeAutoUpdater *autoUpdater = nullptr;

    AppDelegate::Subsystems make()
    {
        auto transcriptionService = std::make_unique<FakeTranscriptionService>(log);
        transcription = transcriptionService.get();
        auto keys = std::make_unique<FakeHotKeys>(log);
        hotKeys = keys.get();
        auto installer = std::make_unique<FakeSelfInstaller>(log);
        selfInstaller = installer.get();
        auto updater = std::make_unique<FakeAutoUpdater>(log);
        autoUpdater = updater.get();
        return AppDelegate::Subsystems{
            .personalDictionaryStore = nullptr,
            .recorders = recorders,
            .transcription = std::move(transcriptionService),
            .recordingIndicatorController = std::make_unique<FakeRecordingIndicator>(log),
            .outputVolume = std::make_unique<FakeOutputVolume>(log),
            .soundCues = std::make_unique<FakeSoundCues>(log),
            .hotKeys = std::move(keys),
            .autoUpdater = std::move(updater),
            .selfInstaller = std::move(installer),
        };
    }
};
