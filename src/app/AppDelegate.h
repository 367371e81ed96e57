#pragma once

#include "AppSettings.h"
#include "DictationState.h"
#include "StatusItem.h"
#include "hotkeys/HotKeys.h"
#include "platform/DictationAudioRecorder.h"
#include "support/Error.h"
#include "support/RecordingStartupCancellation.h"
#include "support/SerialQueue.h"
#include "transcription/TranscriptionService.h"
#include "updates/AutoUpdater.h"

#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>

class OutputVolumeController;
class PersonalDictionaryStore;
class QAction;
class QMenu;
class RecorderFactory;
class RecordingIndicator;
class Settings;
class SoundCues;
struct Platform;

// The dictation controller. It owns the dictation state and the recording session and touches them
// only on the main thread; the start-up queue only creates recorders, the teardown queue only stops
// discarded ones and deletes their folders. Every result of background work carries the generation
// and token it was started with, and is dropped (after its clean-up) when the user has overtaken it.
class AppDelegate final : public QObject, public HotKeyListener, public TranscriptionHost {
    Q_OBJECT
public:
    // The subsystems the controller drives; it owns them for the life of the process.
    struct Subsystems {
        std::shared_ptr<PersonalDictionaryStore> personalDictionaryStore; // also read by the transcription
        std::shared_ptr<RecorderFactory> recorders; // shared with the start-up queue's blocks
        std::unique_ptr<TranscriptionService> transcription;
        std::unique_ptr<RecordingIndicator> recordingIndicatorController;
        std::unique_ptr<OutputVolumeController> outputVolume;
        std::unique_ptr<SoundCues> soundCues;
        std::unique_ptr<HotKeys> hotKeys;
        std::unique_ptr<AutoUpdater> autoUpdater;
        std::unique_ptr<SelfInstaller> selfInstaller;
    };

    // The maker's projects page, opened by "Más proyectos de Tarvo".
    static constexpr const char *tarvoWebsiteURL = "https://tarvo.dev/proyectos";

    enum class TerminateReply { terminateNow, terminateCancel, terminateLater };

    AppDelegate(Platform &platform, Settings &defaults, Subsystems subsystems, QObject *parent = nullptr);
    ~AppDelegate() override;

    // Application life.
    void applicationDidFinishLaunching();
    void applicationWillTerminate(); // the orderly shutdown; runs once
    [[nodiscard]] TerminateReply applicationShouldTerminate();
    // Asks the application to terminate: the answer of applicationShouldTerminate() decides.
    void requestTermination();
    void replyToApplicationShouldTerminate(bool shouldTerminate);

    // Dictation.
    void beginRecordingWithPermission();
    void startRecording();
    void stopRecordingAndTranscribe();
    // The recorder could not write for lack of disk space: what was recorded is transcribed and the
    // tray says how much that was.
    void stopRecordingForLackOfDiskSpace();
    void abortCurrentDictation();
    void stopActiveRecorderForUserAction();
    void finishDeferredQuitAfterRecordingStartupCleanup();
    void quitApplication();
    void showMicrophonePermissionAlert();

    // Recording session and segments.
    void startRecordingCapture(std::optional<qint64> targetApplicationPID);
    [[nodiscard]] Expected<QString> createRecordingFolder();
    void startSpeechMetering(const std::shared_ptr<DictationAudioRecorder> &recorder);
    void scheduleRecorderRestart();
    [[nodiscard]] Expected<void> startNewRecordingSegment();
    void startNewIsolatedRecordingSegmentAsync();
    // Seconds before restart number `attempts` (1, 2, …): 0.25 s per attempt, at most 2 s.
    static double recorderRestartDelay(qint64 attempts);

    void updateStatusIcon();
    void persistRuntimeState();

    // Kept recordings: a dictation folder without activity for an hour goes to the Trash, except the
    // one being recorded or transcribed. Runs at launch and every 60 s.
    void cleanupExpiredRecordingFolders();
    void scheduleExpiredRecordingsCleanup();
    // The newest modification date of the folder and its direct children; none when unreadable.
    static std::optional<QDateTime> latestActivityDate(const QString &folder);
    // A transcript that could not be pasted: the tray says it is on the clipboard, with its first
    // words and `reason`.
    void showTextLeftOnClipboard(const QString &text, const QString &reason);
    // The first words of a text, for a message: at most `maxWords` words and about 60 characters.
    static QString firstWords(const QString &text, int maxWords = 8);

    // The status menu (AppDelegateMenu.cpp): the behaviour's ten entries, then Murmex's own.
    QMenu *statusMenu() const { return statusMenu_.get(); }
    void selectTranscriptionLanguage(QAction *item); // the item's data is the language's raw value
    void selectComputerAudioMode(QAction *item);     // the item's data is the mode's raw value
    void openPersonalDictionary();
    void openRecordingVolumeController();
    void openTarvoWebsite();
    void setPushToTalk(bool enabled);
    void setOpenAtLogin(bool enabled);
    // Copies one of this session's transcripts (newest first) to the clipboard.
    void copyRecentDictation(qsizetype index);
    QStringList recentDictations() const { return recentDictations_; }
    // A kept dictation folder transcribed again; its text goes to the clipboard.
    void transcribeKeptRecording(const QString &folder);

    // A shortcut chosen in the recorder panel: registered, stored and shown, or refused with the
    // old one back in place. Returns whether the new one is now in use.
    bool applyShortcut(const Shortcut &newShortcut);
    // The menu's "Atajo…" entry: the recorder panel, or the open one brought to the front.
    void openShortcutRecorder();

    // HotKeyListener (main thread).
    void dictationHotKeyPressed() override;
    void dictationHotKeyReleased() override;
    void abortHotKeyPressed() override;

    // TranscriptionHost (main thread).
    void transcriptionDidStart() override;
    void transcriptionDidEnd() override;
    TranscriptionLanguage transcriptionLanguage() const override { return settings_.transcriptionLanguage; }
    InsertionTarget insertionTarget() const override { return insertionTarget_; }
    void clearInsertionTarget() override { insertionTarget_ = {}; }
    void transcriptionDelivered(const QString &text) override;
    void keptRecordingCopied(const QString &text) override;
    void keptRecordingNotTranscribed(const QString &folder, const QString &reason) override;
    void engineStatusChanged(EngineStatus status) override;

    // Observation.
    DictationState state() const { return state_; }
    const AppSettings &settings() const { return settings_; }
    StatusItem &statusItem() { return statusItem_; }
    QString recordingFolder() const { return recordingFolder_; }
    QStringList recordingSegments() const { return recordingSegments_; }
    bool hasRecordingStartupCancellation() const { return recordingStartupCancellation != nullptr; }
    bool hasRecorderRestartCancellation() const { return recorderRestartCancellation != nullptr; }
    bool hasPendingRecorderRestart() const { return recorderRestartWorkItem != nullptr; }
    qint64 restartAttempts() const { return recorderRestartAttempts; }
    bool hasDetectedSpeech() const { return detectedSpeech; }
    bool isHotKeyDown() const { return hotKeyIsDown; }
    SerialQueue &startupQueue() { return *recordingStartupQueue; }
    SerialQueue &teardownQueue() { return *recordingTeardownQueue; }

    // The panels while open; a dictation hot-key press is ignored while any of them is.
    QPointer<QObject> shortcutRecorderController;
    QPointer<QObject> personalDictionaryController;
    QPointer<QObject> recordingVolumeController;

    void setComputerAudioMode(ComputerAudioMode mode) { settings_.computerAudioMode = mode; }
    // Milliseconds of a monotonic clock, for telling a push-to-talk hold from a tap; tests set it.
    std::function<qint64()> monotonicMilliseconds = [] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
    };

signals:
    void stateChanged(DictationState state);
    // The orderly shutdown has run: the event loop should end now.
    void terminated();

private:
    using RecorderResult = std::optional<Expected<std::shared_ptr<DictationAudioRecorder>>>;

    void setState(DictationState newState);
    void buildStatusMenu();
    void refreshStatusMenu(); // before the menu opens: the lists and the states read from disk
    void refreshKeptRecordingsMenu();
    void refreshRecentDictationsMenu();
    void rememberRecentDictation(const QString &text);
    // A dictation cut short by the end of an earlier run: offered for transcription once at launch.
    void findInterruptedDictation();
    void offerInterruptedDictation();
    void startPushToTalkDictation();
    bool isAnyPanelOpen() const;
    void registerAbortKey();
    void registerDictationHotKeyAtLaunch();
    void showShortcutUnavailableAlert(const Shortcut &shortcut);
    void showHotKeysUnsupportedAlert();
    void showAlert(const QString &message, const QString &informativeText);

    void launchRecordingStartup(const QString &folder, const QString &segment, ComputerAudioMode mode, std::optional<qint64> pid);
    void handleRecordingStartupResult(const QString &folder, const QString &segment, const RecordingStartupToken &token,
                                      qint64 generation, ComputerAudioMode mode, std::optional<qint64> pid, RecorderResult result);
    void discardRecordingStartupResult(const QString &folder, const RecordingStartupToken &token, qint64 generation,
                                       std::shared_ptr<DictationAudioRecorder> recorder);
    void releaseRecordingStartupToken(const RecordingStartupToken &token);

    void handleRestartResult(const QString &folder, const QString &segment, const RecordingStartupToken &token, qint64 generation,
                             Expected<std::shared_ptr<DictationAudioRecorder>> result);
    void discardRestartResult(const QString &segment, const RecordingStartupToken &token, std::shared_ptr<DictationAudioRecorder> recorder);
    void releaseRecorderRestartToken(const RecordingStartupToken &token);

    void attachRecorder(const std::shared_ptr<DictationAudioRecorder> &recorder);
    void recorderStoppedUnexpectedly(const std::weak_ptr<DictationAudioRecorder> &recorder);
    void cancelPendingRestart();
    void stopSpeechMeterTimer();
    QString nextSegmentPath() const;

    Platform &platform;
    Settings &defaults;
    Subsystems subsystems;
    AppSettings settings_;
    // The menu outlives the tray icon that shows it.
    std::unique_ptr<QMenu> statusMenu_;
    StatusItem statusItem_;
    QAction *shortcutMenuItem = nullptr;
    QAction *dictionaryMenuItem = nullptr;
    QAction *recordingVolumeMenuItem = nullptr;
    std::map<TranscriptionLanguage, QAction *> languageMenuItems;
    std::map<ComputerAudioMode, QAction *> computerAudioMenuItems;
    QAction *engineStatusMenuItem = nullptr;
    QAction *installEngineMenuItem = nullptr;
    QAction *pushToTalkMenuItem = nullptr;
    QAction *openAtLoginMenuItem = nullptr;
    QMenu *recentDictationsMenu = nullptr;
    QMenu *keptRecordingsMenu = nullptr;
    QStringList recentDictations_; // this session's transcripts, newest first; never written to disk
    // Push-to-talk: when the press that started the dictation came, to tell a hold from a tap.
    qint64 pushToTalkPressedAt = 0;
    bool pushToTalkStartedDictation = false;
    // Left by an earlier run that ended while recording or transcribing; kept out of the clean-up
    // until the user has answered.
    QString interruptedDictationFolder;

    DictationState state_ = DictationState::idle;
    bool userRequestedQuit = false;
    bool quitAfterRecordingStartupCleanup = false;
    bool systemTerminationPending = false;
    bool hotKeyIsDown = false;
    bool hasTerminated = false;

    qint64 recordingStartupGeneration = 0;
    RecordingStartupToken recordingStartupCancellation;
    qint64 recorderRestartGeneration = 0;
    RecordingStartupToken recorderRestartCancellation;
    std::unique_ptr<QTimer> recorderRestartWorkItem;
    qint64 recorderRestartAttempts = 0;

    QString recordingFolder_;
    QStringList recordingSegments_;
    std::shared_ptr<DictationAudioRecorder> audioRecorder;
    std::unique_ptr<QTimer> speechMeterTimer;
    std::unique_ptr<QTimer> expiredRecordingsCleanupTimer;
    bool detectedSpeech = false;
    ComputerAudioMode recordingMode = ComputerAudioMode::exclude;
    // Captured when the dictation starts.
    InsertionTarget insertionTarget_;

    // Background blocks check this to learn that the controller is gone.
    std::shared_ptr<int> lifetime = std::make_shared<int>(0);
    // Declared last: destroyed first, so their blocks finish while everything above still exists.
    std::unique_ptr<SerialQueue> recordingStartupQueue;
    std::unique_ptr<SerialQueue> recordingTeardownQueue;
};
