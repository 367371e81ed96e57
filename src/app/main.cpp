#include "AppDelegate.h"
#include "AppStorage.h"
#include "Bundle.h"
#include "audio/AudioRecorderFactory.h"
#include "audio/SpareVoiceUnit.h"
#include "brand/BrandAssets.h"
#include "cues/ChimeletSoundCues.h"
#include "dictionary/PersonalDictionaryStore.h"
#include "insertion/CaretLocator.h"
#include "insertion/CaretReveal.h"
#include "insertion/PasteAtCursor.h"
#include "insertion/RecordingIndicatorController.h"
#include "platform/Platform.h"
#include "platform/linux/AccessibilityStatus.h"
#include "platform/linux/AtspiAccessibilityTree.h"
#include "platform/linux/DesktopShell.h"
#include "platform/linux/MessageBoxAlerts.h"
#include "platform/linux/PulseAudioSystem.h"
#include "platform/linux/PulseOutputVolume.h"
#include "platform/linux/SessionMicrophoneAuthorization.h"
#include "platform/linux/SingleInstance.h"
#include "platform/linux/SystemLogSink.h"
#include "platform/linux/TerminationSignals.h"
#include "platform/linux/X11HotKeys.h"
#include "platform/linux/X11KeySynthesizer.h"
#include "platform/linux/X11TrayColors.h"
#include "platform/linux/X11FrontmostApplication.h"
#include "support/Log.h"
#include "support/PrivateFiles.h"
#include "support/Settings.h"
#include "support/StartupTrace.h"
#include "transcription/WhisperTranscriptionService.h"
#include "updates/AppSelfInstaller.h"
#include "updates/FeedAutoUpdater.h"
#include "updates/SwapJob.h"
#include "volume/SystemOutputVolumeController.h"

#include <QApplication>
#include <QClipboard>
#include <QSessionManager>
#include <QTimer>

#include <csignal>
#include <cstdio>

namespace {

// Updates come from the feed this build trusts, for a bundle installed where it may replace itself;
// the swap job does the replacing once Murmex has quit.
std::unique_ptr<AutoUpdater> makeAutoUpdater()
{
    const InstallPlaces places = InstallPlaces::forCurrentUser();
    return std::make_unique<FeedAutoUpdater>(FeedAutoUpdater::Environment{
        .bundleRoot = Bundle::rootPath(),
        .currentVersion = Bundle::shortVersion(),
        .updatesDirectory = AppStorage::supportRootURL() + QStringLiteral("/Updates"),
        .trust = UpdateTrust::ofThisBuild(),
        .places = places,
        .terminate = [] { QCoreApplication::quit(); },
        .stageSwap = [places](const SwapRequest &request) -> Expected<void> {
            const auto runner = SwapJob::stage({
                .newApp = request.update.newApp,
                .currentApp = request.update.currentApp,
                .updatesDirectory = request.updatesDirectory,
                .version = request.update.version,
                .applicationPid = request.applicationPid,
                .places = places,
            });
            if (!runner)
                return std::unexpected(runner.error());
            Log::write(QStringLiteral("[MurmexUpdater] cambio de versión en marcha con %1").arg(SwapJob::runnerName(*runner)));
            return {};
        },
        .acknowledgeHealth = &SwapJob::acknowledgeHealthCheck,
    });
}

} // namespace

int main(int argc, char *argv[])
{
    // Recordings, transcripts and logs are the user's alone, whatever umask the session set.
    PrivateFiles::restrictNewFiles();
    StartupTrace::configureFromEnvironment();
    // A file size limit then makes a write fail (and the recorder report a full disk) instead of
    // ending Murmex in the middle of a dictation.
    std::signal(SIGXFSZ, SIG_IGN);

    // Qt runs without its GLib event dispatcher: the accessibility tree's own thread runs GLib's
    // default main context (see AtspiAccessibilityTree). Programs Murmex opens do not inherit this.
    const bool noGlibWasSet = qEnvironmentVariableIsSet("QT_NO_GLIB");
    qputenv("QT_NO_GLIB", "1");
    QApplication application(argc, argv);
    if (!noGlibWasSet)
        qunsetenv("QT_NO_GLIB");
    QApplication::setOrganizationName(QStringLiteral("Tarvo"));
    QApplication::setApplicationName(QStringLiteral("Murmex"));
    QApplication::setQuitOnLastWindowClosed(false); // a tray program: alerts closing must not end it
    BrandAssets::setLogoPath(Bundle::resourcesPath() + QStringLiteral("/Murmex.svg"));
    BrandAssets::setTrayForegroundColor(&trayForegroundColor);
    const bool logShownOnStandardError = SystemLogSink::install();
    // Before anything starts: a termination signal from now on ends Murmex in order.
    TerminationSignals terminationSignals;

    SingleInstance instance;
    if (instance.claim() == SingleInstance::Claim::heldByAnother) {
        // The running one keeps its engine, its settings and its recordings to itself.
        Log::write(QStringLiteral("[MurmexRuntime] Murmex ya está abierto."));
        if (!logShownOnStandardError)
            std::fputs("Murmex ya está abierto.\n", stderr);
        return 0;
    }

    MessageBoxAlerts alerts;
    DesktopShell shell;
    X11FrontmostApplication frontmostApplication;
    SessionMicrophoneAuthorization microphoneAuthorization;
    Platform platform{alerts, shell, frontmostApplication, microphoneAuthorization};
    PulseAudioSystem audioSystem;
    // Starts connecting now, so that the launch's volume warm-up finds the connection up.
    PulseOutputVolume outputVolume;
    Settings defaults;

    X11KeySynthesizer keySynthesizer;
    // The program's hot keys; the paste waits for their release, the controller owns them.
    auto hotKeys = std::make_unique<X11HotKeys>();
    HeldHotKeys &heldHotKeys = *hotKeys;
    RevealState revealState;
    AtspiAccessibilityTree accessibilityTree;
    AccessibilityStatus::enableOnce(); // toolkits expose their text fields only when it is on
    AccessibilityCaretRevealer caretRevealer(accessibilityTree, revealState);
    PasteAtCursor textInsertion(keySynthesizer, heldHotKeys, frontmostApplication, alerts, revealState, caretRevealer);
    WhisperLocations whisperLocations;
    if (const QString libexec = Bundle::libexecPath(); !libexec.isEmpty())
        whisperLocations.executableFolders.append(libexec + QStringLiteral("/whisper"));
    if (const QString resources = Bundle::resourcesPath(); !resources.isEmpty())
        whisperLocations.modelFolders.append(resources + QStringLiteral("/Whisper"));
    whisperLocations.modelFolders.append(AppStorage::supportRootURL() + QStringLiteral("/Models"));
    auto dictionaryStore = std::make_shared<PersonalDictionaryStore>(AppStorage::supportRootURL() + QStringLiteral("/Dictionaries"));
    auto transcription = std::make_unique<WhisperTranscriptionService>(
        WhisperTranscriptionService::Services{
            .defaults = defaults,
            .alerts = alerts,
            .shell = shell,
            .insertion = textInsertion,
            .applyPersonalDictionary = [dictionaryStore](const QString &text, TranscriptionLanguage language) {
                return dictionaryStore->applying(text, language);
            },
            .removeRecordingFolder = [](const QString &folder) { AppStorage::removeRecordingFolderIfOwned(folder, AppStorage::recordingsRootURL()); },
            // Murmex keeps running and so keeps owning the clipboard: the text stays there to paste.
            .copyToClipboard = [](const QString &text) { QGuiApplication::clipboard()->setText(text, QClipboard::Clipboard); },
        },
        whisperLocations);
    // Its hooks read the dictation controller, made below with it.
    auto outputVolumeController = std::make_unique<SystemOutputVolumeController>(outputVolume, defaults);
    SystemOutputVolumeController &volumeController = *outputVolumeController;

    // The capture in mode "exclude" plays the start cue itself; the cues ask it through the factory.
    auto recorders = std::make_shared<AudioRecorderFactory>(audioSystem);
    const QString resources = Bundle::resourcesPath(), libexec = Bundle::libexecPath();
    auto soundCues = std::make_unique<ChimeletSoundCues>(
        ChimeletSoundCues::Locations{
            .recordingStartedSound = resources.isEmpty() ? QString() : resources + QStringLiteral("/DictationStarted.wav"),
            .recordingStoppedSound = resources.isEmpty() ? QString() : resources + QStringLiteral("/DictationStopped.wav"),
            .soundPlayer = libexec.isEmpty() ? QString() : libexec + QStringLiteral("/chimelet"),
        },
        [recorders] { return recorders->tryPlayStartCue(); });

    AppDelegate::Subsystems subsystems{
        .personalDictionaryStore = dictionaryStore,
        .recorders = recorders,
        .transcription = std::move(transcription),
        // The same caret-lookup thread and locator as the reveal passes.
        .recordingIndicatorController = std::make_unique<RecordingIndicatorController>(caretRevealer, revealState, frontmostApplication),
        .outputVolume = std::move(outputVolumeController),
        .soundCues = std::move(soundCues),
        .hotKeys = std::move(hotKeys),
        .autoUpdater = makeAutoUpdater(),
        .selfInstaller = std::make_unique<AppSelfInstaller>(AppSelfInstaller::Services{
            .bundleRoot = Bundle::rootPath(),
            .showAlert = [&alerts](const QString &message, const QString &text, const QStringList &buttons) { alerts.showInformational(message, text, buttons); },
            .releaseSingleInstance = [&instance] { instance.release(); },
            .claimSingleInstance = [&instance] { return instance.claim() == SingleInstance::Claim::owned; },
        }),
    };
    AppDelegate delegate(platform, defaults, std::move(subsystems));
    volumeController.setHooks({
        .recordingVolumePercentage = [&delegate] { return delegate.settings().recordingVolumePercentage; },
        .isRecordingStartupInFlight = [&delegate] { return delegate.hasRecordingStartupCancellation() || delegate.hasRecorderRestartCancellation(); },
        .mayRetryRestore = [&delegate] { return delegate.state() == DictationState::idle || delegate.state() == DictationState::transcribing; },
    });
    QObject::connect(&textInsertion, &PasteAtCursor::textLeftOnClipboard, &delegate, &AppDelegate::showTextLeftOnClipboard);
    QObject::connect(&delegate, &AppDelegate::terminated, &application, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);

    // A termination signal is not a question: Murmex ends in order at once. A recording in progress is
    // stopped and kept on disk rather than discarded.
    QObject::connect(&terminationSignals, &TerminationSignals::received, &delegate, [&delegate](int signalNumber) {
        Log::write(QStringLiteral("[MurmexRuntime] Señal %1 recibida: Murmex se cierra.").arg(signalNumber));
        delegate.applicationWillTerminate();
    });
    // Logging out asks first: a dictation in progress refuses it.
    QObject::connect(&application, &QGuiApplication::commitDataRequest, &delegate, [&delegate](QSessionManager &manager) {
        if (delegate.applicationShouldTerminate() == AppDelegate::TerminateReply::terminateCancel && manager.allowsInteraction())
            manager.cancel();
    });
    QObject::connect(&application, &QCoreApplication::aboutToQuit, &delegate, &AppDelegate::applicationWillTerminate);

    QTimer::singleShot(0, &delegate, &AppDelegate::applicationDidFinishLaunching);
    const int status = application.exec();
    SpareVoiceUnit::discard();
    return status;
}
