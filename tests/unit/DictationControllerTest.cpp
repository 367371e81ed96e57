// The dictation state machine against fake recorders and fake subsystems.

#include "FakePlatform.h"
#include "FakeSubsystems.h"
#include "app/AppDelegate.h"
#include "app/AppStorage.h"
#include "app/RuntimeStateFile.h"
#include "support/Log.h"
#include "support/Settings.h"
#include "support/StartupTrace.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

Q_DECLARE_METATYPE(DictationState)
Q_DECLARE_METATYPE(AppDelegate::TerminateReply)

#include <chrono>
#include <mutex>
#include <thread>

namespace {

constexpr int settleTimeout = 3000;

// One controller with its fakes, in a data folder of its own.
struct Rig {
    QTemporaryDir home;
    FakePlatform fake;
    FakeSubsystems subsystems;
    std::unique_ptr<Settings> defaults;
    std::unique_ptr<AppDelegate> controller;

    Rig()
    {
        qputenv("XDG_DATA_HOME", home.path().toUtf8());
        defaults = std::make_unique<Settings>(home.filePath(QStringLiteral("Murmex.conf")));
        controller = std::make_unique<AppDelegate>(fake.platform, *defaults, subsystems.make());
    }
    ~Rig()
    {
        subsystems.recorders->openGate(); // a test that failed may have left a start-up waiting
        controller.reset();
    }

    AppDelegate &c() { return *controller; }
    DictationState state() const { return controller->state(); }
    QStringList recordingFolders() const
    {
        return QDir(AppStorage::recordingsRootURL()).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    }
    QStringList alertMessages() const
    {
        QStringList messages;
        for (const ShownAlert &alert : fake.alerts.shown)
            messages.append(alert.message);
        return messages;
    }

    void press()
    {
        controller->dictationHotKeyPressed();
        controller->dictationHotKeyReleased();
    }
    // The start-up token is released on the main thread once the start-up block is done.
    bool waitForStartupCleanup()
    {
        return QTest::qWaitFor([&] { return !controller->hasRecordingStartupCancellation(); }, settleTimeout);
    }
    bool startRecording()
    {
        press();
        return QTest::qWaitFor([&] { return state() == DictationState::recording; }, settleTimeout);
    }
    // Holds the start-up inside the recorder factory: the dictation stays "starting".
    bool startAndHoldInStarting()
    {
        subsystems.recorders->closeGate();
        press();
        return state() == DictationState::starting && subsystems.recorders->waitUntilHeldAtGate(settleTimeout);
    }
    bool startTranscribing()
    {
        if (!startRecording())
            return false;
        subsystems.recorders->lastRecorder()->average = -20.0f;
        press();
        return state() == DictationState::transcribing;
    }
    bool reach(const QString &stateName)
    {
        if (stateName == QLatin1String("starting"))
            return startAndHoldInStarting();
        if (stateName == QLatin1String("recording"))
            return startRecording();
        if (stateName == QLatin1String("transcribing"))
            return startTranscribing();
        return true;
    }
};

// Blocks the main thread (no events handled) until the condition holds.
bool spinUntil(const std::function<bool()> &condition, int timeoutMilliseconds = settleTimeout)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

} // namespace

class DictationControllerTest : public QObject {
    Q_OBJECT

private slots:
    void transitions_data();
    void transitions();
    void pressDuringStartingAbortsAndTheTokenGuardsTheNextStart();
    void heldKeyActsOnceAndPanelsSwallowPresses();
    void abortKeyFallsBackToMonitors();
    void overtakenStartupIsCleanedUp();
    void startupFailureAlertsOnlyWhileCurrent();
    void quitDuringStartingWaitsForCleanup();
    void terminationAnswers_data();
    void terminationAnswers();
    void unexpectedStopRestartsOnNewSegment();
    void stopWhileRestartPendingTranscribesWhatExists();
    void runtimeStateFileFollowsTheDictation();
    void shortcutIsStoredOnlyWhenRegistered_data();
    void shortcutIsStoredOnlyWhenRegistered();
    void textLeftOnClipboardIsAnnounced_data();
    void textLeftOnClipboardIsAnnounced();
    void traceOnlyWhenVariableIsExactlyOne_data();
    void traceOnlyWhenVariableIsExactlyOne();
};

// Every row: the state reached first, the event, a condition that changes the outcome, and what
// must follow once background work has settled.
void DictationControllerTest::transitions_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("event");
    QTest::addColumn<QString>("condition");
    QTest::addColumn<DictationState>("to");
    QTest::addColumn<QString>("alert");
    QTest::addColumn<int>("beeps");
    QTest::addColumn<bool>("folderRemains");

    using S = DictationState;
    const QString none;
    QTest::newRow("idle, press: recording") << "idle" << "press" << none << S::recording << none << 0 << true;
    QTest::newRow("idle, press, microphone denied") << "idle" << "press" << "mic-denied" << S::idle << "Permiso de micrófono necesario" << 0 << false;
    QTest::newRow("idle, press, microphone asked and granted") << "idle" << "press" << "mic-granted" << S::recording << none << 0 << true;
    QTest::newRow("idle, press, microphone asked and refused") << "idle" << "press" << "mic-refused" << S::idle << "Permiso de micrófono necesario" << 0 << false;
    QTest::newRow("idle, press, folder cannot be made") << "idle" << "press" << "folder-fails" << S::idle << "No se pudo grabar" << 0 << false;
    QTest::newRow("idle, press, recorder fails") << "idle" << "press" << "recorder-fails" << S::idle << "No se pudo grabar" << 0 << false;
    QTest::newRow("idle, press, file recorder (allow)") << "idle" << "press" << "allow" << S::recording << none << 0 << true;
    QTest::newRow("idle, Esc: nothing") << "idle" << "esc" << none << S::idle << none << 0 << false;
    QTest::newRow("starting, press: abort") << "starting" << "press" << none << S::idle << none << 0 << false;
    QTest::newRow("starting, Esc: abort") << "starting" << "esc" << none << S::idle << none << 0 << false;
    QTest::newRow("recording, press with speech") << "recording" << "press" << "speech" << S::transcribing << none << 0 << true;
    QTest::newRow("recording, press with a loud peak only") << "recording" << "press" << "peak" << S::transcribing << none << 0 << true;
    QTest::newRow("recording, press in silence") << "recording" << "press" << "silence" << S::idle << none << 0 << false;
    QTest::newRow("recording, Esc: abort") << "recording" << "esc" << "speech" << S::idle << none << 0 << false;
    QTest::newRow("transcribing, press: beep") << "transcribing" << "press" << none << S::transcribing << none << 1 << true;
    QTest::newRow("transcribing, Esc: nothing") << "transcribing" << "esc" << none << S::transcribing << none << 0 << true;
}

void DictationControllerTest::transitions()
{
    QFETCH(QString, from);
    QFETCH(QString, event);
    QFETCH(QString, condition);
    QFETCH(DictationState, to);
    QFETCH(QString, alert);
    QFETCH(int, beeps);
    QFETCH(bool, folderRemains);

    Rig rig;
    using Status = MicrophoneAuthorization::Status;
    if (condition == QLatin1String("mic-denied"))
        rig.fake.microphone.current = Status::denied;
    if (condition == QLatin1String("mic-granted") || condition == QLatin1String("mic-refused")) {
        rig.fake.microphone.current = Status::notDetermined;
        rig.fake.microphone.grant = condition == QLatin1String("mic-granted");
    }
    if (condition == QLatin1String("folder-fails")) {
        // A file where the data folder should be: no folder can be made below it.
        const QString root = AppStorage::supportRootURL();
        QFile blocker(root);
        QVERIFY(blocker.open(QIODevice::WriteOnly));
    }
    if (condition == QLatin1String("recorder-fails"))
        rig.subsystems.recorders->queue({.succeeds = false});
    if (condition == QLatin1String("allow"))
        rig.c().setComputerAudioMode(ComputerAudioMode::allow);

    QVERIFY2(rig.reach(from), qPrintable(QStringLiteral("could not reach ") + from));
    if (from == QLatin1String("recording")) {
        auto recorder = rig.subsystems.recorders->lastRecorder();
        if (condition == QLatin1String("speech"))
            recorder->average = -30.0f;
        if (condition == QLatin1String("peak"))
            recorder->peak = -20.0f;
    }
    const int transcriptionsBefore = rig.subsystems.log.count(QStringLiteral("transcribe"));

    if (event == QLatin1String("press"))
        rig.press();
    else
        rig.c().abortHotKeyPressed();
    rig.subsystems.recorders->openGate();

    QTRY_COMPARE_WITH_TIMEOUT(rig.state(), to, settleTimeout);
    QVERIFY(rig.waitForStartupCleanup());
    QVERIFY(rig.c().startupQueue().waitUntilDrained(settleTimeout));
    QVERIFY(rig.c().teardownQueue().waitUntilDrained(settleTimeout));
    QTest::qWait(20); // the queued hand-back of the clean-up
    QCOMPARE(rig.state(), to);
    QCOMPARE(rig.alertMessages(), alert.isEmpty() ? QStringList() : QStringList{alert});
    QCOMPARE(rig.fake.shell.beeps, beeps);
    QCOMPARE(!rig.recordingFolders().isEmpty(), folderRemains);

    const bool transcribed = rig.subsystems.log.count(QStringLiteral("transcribe")) > transcriptionsBefore;
    QCOMPARE(transcribed, from == QLatin1String("recording") && to == DictationState::transcribing);
    if (transcribed) {
        QCOMPARE(rig.subsystems.transcription->transcribedSegments.size(), 1);
        QVERIFY(rig.subsystems.transcription->transcribedSegments.first().endsWith(QLatin1String("/segment-001.wav")));
    }
    if (condition == QLatin1String("recorder-fails"))
        QCOMPARE(rig.fake.alerts.shown.first().informativeText, QStringLiteral("No se pudo iniciar el micrófono."));
    if (to == DictationState::recording) {
        QCOMPARE(rig.subsystems.recorders->modes().last(), condition == QLatin1String("allow") ? ComputerAudioMode::allow : ComputerAudioMode::exclude);
        QCOMPARE(rig.c().statusItem().toolTip(), QStringLiteral("Grabando — Ctrl+Alt+Super+D termina · Esc cancela"));
        // Entering "recording": indicator, then volume, then the start cue.
        const QStringList &calls = rig.subsystems.log.calls;
        QVERIFY(calls.indexOf(QStringLiteral("indicator.show")) < calls.indexOf(QStringLiteral("volume.apply")));
        QVERIFY(calls.indexOf(QStringLiteral("volume.apply")) < calls.indexOf(QStringLiteral("cue.started")));
    }
    if (from != QLatin1String("idle") && to == DictationState::idle)
        QVERIFY(!rig.subsystems.hotKeys->abortRegistered);
}

void DictationControllerTest::pressDuringStartingAbortsAndTheTokenGuardsTheNextStart()
{
    Rig rig;
    QVERIFY(rig.startAndHoldInStarting());
    rig.press(); // abort while the start-up block is still inside the factory
    QCOMPARE(rig.state(), DictationState::idle);
    QVERIFY(rig.c().hasRecordingStartupCancellation());

    rig.press(); // the token is still held: ignored
    QCOMPARE(rig.state(), DictationState::idle);
    QCOMPARE(rig.subsystems.recorders->startedSegments().size(), 1);

    rig.subsystems.recorders->openGate();
    QVERIFY(rig.waitForStartupCleanup());
    QTRY_VERIFY(rig.recordingFolders().isEmpty());
    QVERIFY(rig.subsystems.recorders->lastRecorder() == nullptr); // cancelled before it started

    QVERIFY(rig.startRecording()); // the next press after the release starts a dictation
    QCOMPARE(rig.subsystems.recorders->startedSegments().size(), 2);
}

void DictationControllerTest::heldKeyActsOnceAndPanelsSwallowPresses()
{
    Rig rig;
    rig.c().dictationHotKeyPressed();
    rig.c().dictationHotKeyPressed(); // auto-repeat of the held shortcut
    QTRY_COMPARE_WITH_TIMEOUT(rig.state(), DictationState::recording, settleTimeout);
    QCOMPARE(rig.subsystems.recorders->startedSegments().size(), 1);

    rig.c().dictationHotKeyReleased();
    QObject panel;
    rig.c().recordingVolumeController = &panel;
    rig.c().dictationHotKeyPressed(); // a panel is open: nothing happens, the key is not "down"
    QCOMPARE(rig.state(), DictationState::recording);
    QVERIFY(!rig.c().isHotKeyDown());
    rig.c().dictationHotKeyReleased();

    rig.c().recordingVolumeController = nullptr;
    rig.c().dictationHotKeyPressed();
    QCOMPARE(rig.state(), DictationState::idle); // silence: the dictation ends without text
}

void DictationControllerTest::abortKeyFallsBackToMonitors()
{
    Rig rig;
    rig.subsystems.hotKeys->abortRegistrationSucceeds = false;
    QVERIFY(rig.startRecording());
    const QStringList &calls = rig.subsystems.log.calls;
    QVERIFY(calls.indexOf(QStringLiteral("abort.fallback")) > calls.indexOf(QStringLiteral("abort.register")));
}

void DictationControllerTest::overtakenStartupIsCleanedUp()
{
    Rig rig;
    QVERIFY(rig.startAndHoldInStarting());
    rig.subsystems.recorders->openGate();
    // The result is on its way to the main thread and the start-up queue waits for it…
    QVERIFY(spinUntil([&] { return rig.c().startupQueue().isSuspended(); }));
    // …when the user aborts: the result arrives with a stale generation.
    rig.c().abortHotKeyPressed();
    QCOMPARE(rig.state(), DictationState::idle);

    QVERIFY(rig.waitForStartupCleanup());
    const auto recorder = rig.subsystems.recorders->lastRecorder();
    QVERIFY(recorder);
    QCOMPARE(recorder->stops.load(), 1);
    QVERIFY(!recorder->hasUnexpectedStopHandler());
    QVERIFY(rig.recordingFolders().isEmpty());
    QVERIFY(!rig.c().startupQueue().isSuspended());
    QVERIFY(rig.alertMessages().isEmpty()); // the user overtook it: nothing to tell
    QVERIFY(rig.startRecording());          // and the queue runs the next start-up
}

void DictationControllerTest::startupFailureAlertsOnlyWhileCurrent()
{
    // A start-up failure during a quit is not shown: the user is leaving.
    Rig rig;
    QSignalSpy terminated(&rig.c(), &AppDelegate::terminated);
    rig.subsystems.recorders->queue({.succeeds = false, .error = {QStringLiteral("Murmex"), 23, QStringLiteral("El micrófono no envió audio.")}});
    QVERIFY(rig.startAndHoldInStarting());
    rig.c().quitApplication();
    rig.subsystems.recorders->openGate();
    QTRY_COMPARE_WITH_TIMEOUT(terminated.size(), 1, settleTimeout);
    QVERIFY(rig.alertMessages().isEmpty());
}

void DictationControllerTest::quitDuringStartingWaitsForCleanup()
{
    Rig rig;
    rig.c().applicationDidFinishLaunching();
    QSignalSpy terminated(&rig.c(), &AppDelegate::terminated);
    QVERIFY(rig.startAndHoldInStarting());
    QCOMPARE(rig.recordingFolders().size(), 1);

    rig.c().quitApplication();
    QCOMPARE(rig.state(), DictationState::idle);
    QTest::qWait(50);
    QCOMPARE(terminated.size(), 0); // the start-up has not cleaned up yet
    QVERIFY(QFile::exists(RuntimeStateFile::path()));

    rig.subsystems.recorders->openGate();
    QTRY_COMPARE_WITH_TIMEOUT(terminated.size(), 1, settleTimeout);
    QVERIFY(rig.recordingFolders().isEmpty());
    QVERIFY(!QFile::exists(RuntimeStateFile::path()));
    QVERIFY(rig.subsystems.log.calls.contains(QStringLiteral("hotkeys.remove")));
}

void DictationControllerTest::terminationAnswers_data()
{
    QTest::addColumn<QString>("situation");
    QTest::addColumn<AppDelegate::TerminateReply>("reply");
    QTest::addColumn<bool>("terminatesAfterCleanup");

    using R = AppDelegate::TerminateReply;
    QTest::newRow("idle") << "idle" << R::terminateNow << false;
    QTest::newRow("recording without the quit entry") << "recording" << R::terminateCancel << false;
    QTest::newRow("transcribing without the quit entry") << "transcribing" << R::terminateCancel << false;
    QTest::newRow("transcribing after the quit entry") << "transcribing-quit" << R::terminateNow << false;
    QTest::newRow("during a start-up") << "starting" << R::terminateLater << true;
    QTest::newRow("during a recorder restart") << "restarting" << R::terminateLater << true;
}

void DictationControllerTest::terminationAnswers()
{
    QFETCH(QString, situation);
    QFETCH(AppDelegate::TerminateReply, reply);
    QFETCH(bool, terminatesAfterCleanup);

    Rig rig;
    QSignalSpy terminated(&rig.c(), &AppDelegate::terminated);
    if (situation == QLatin1String("restarting")) {
        QVERIFY(rig.startRecording());
        rig.subsystems.recorders->closeGate();
        rig.subsystems.recorders->lastRecorder()->failUnexpectedly();
        // The restart needs the event loop (its hand-over and its 0.25 s delay): wait without blocking it.
        QTRY_VERIFY_WITH_TIMEOUT(rig.subsystems.recorders->isHeldAtGate(), settleTimeout);
        QVERIFY(rig.c().hasRecorderRestartCancellation());
    } else if (situation == QLatin1String("transcribing-quit")) {
        QVERIFY(rig.reach(QStringLiteral("transcribing")));
        rig.c().quitApplication(); // asks to terminate, and is answered "now"
        QCOMPARE(terminated.size(), 1);
    } else {
        QVERIFY(rig.reach(situation));
    }

    QCOMPARE(rig.c().applicationShouldTerminate(), reply);
    rig.subsystems.recorders->openGate();
    if (terminatesAfterCleanup)
        QTRY_COMPARE_WITH_TIMEOUT(terminated.size(), 1, settleTimeout);
    else if (reply != AppDelegate::TerminateReply::terminateNow)
        QCOMPARE(terminated.size(), 0);
}

void DictationControllerTest::unexpectedStopRestartsOnNewSegment()
{
    Rig rig;
    QVERIFY(rig.startRecording());
    const auto first = rig.subsystems.recorders->lastRecorder();
    first->failUnexpectedly();
    QTRY_VERIFY_WITH_TIMEOUT(rig.c().hasPendingRecorderRestart(), settleTimeout);
    QCOMPARE(rig.c().statusItem().toolTip(), QStringLiteral("Reconectando el micrófono… la grabación anterior está guardada"));
    QCOMPARE(rig.c().restartAttempts(), 1);

    QTRY_COMPARE_WITH_TIMEOUT(rig.c().recordingSegments().size(), 2, settleTimeout);
    const QStringList segments = rig.c().recordingSegments();
    QVERIFY(segments.at(0).endsWith(QLatin1String("/segment-001.wav")));
    QVERIFY(segments.at(1).endsWith(QLatin1String("/segment-002.wav")));
    QVERIFY(QFile::exists(segments.at(0)));
    QCOMPARE(rig.c().statusItem().toolTip(), QStringLiteral("Grabando — Ctrl+Alt+Super+D termina · Esc cancela"));
    QCOMPARE(rig.state(), DictationState::recording);

    // The new recorder is metered: a loud tick marks speech, the stop transcribes both segments.
    rig.subsystems.recorders->lastRecorder()->average = -30.0f;
    QTRY_VERIFY_WITH_TIMEOUT(rig.c().hasDetectedSpeech(), settleTimeout);
    rig.press();
    QCOMPARE(rig.subsystems.transcription->transcribedSegments, segments);
}

void DictationControllerTest::stopWhileRestartPendingTranscribesWhatExists()
{
    Rig rig;
    QVERIFY(rig.startRecording());
    rig.subsystems.recorders->lastRecorder()->average = -30.0f;
    QTRY_VERIFY_WITH_TIMEOUT(rig.c().hasDetectedSpeech(), settleTimeout);
    rig.subsystems.recorders->lastRecorder()->failUnexpectedly();
    QTRY_VERIFY_WITH_TIMEOUT(rig.c().hasPendingRecorderRestart(), settleTimeout);

    rig.press();
    QCOMPARE(rig.state(), DictationState::transcribing);
    QCOMPARE(rig.subsystems.transcription->transcribedSegments.size(), 1);
    QTest::qWait(400); // longer than the 0.25 s back-off: the restart must not run
    QCOMPARE(rig.subsystems.recorders->startedSegments().size(), 1);
}

void DictationControllerTest::runtimeStateFileFollowsTheDictation()
{
    Rig rig;
    QStringList written;
    const auto readFile = [] {
        QFile file(RuntimeStateFile::path());
        if (!file.open(QIODevice::ReadOnly))
            return QJsonObject();
        return QJsonDocument::fromJson(file.readAll()).object();
    };
    connect(&rig.c(), &AppDelegate::stateChanged, &rig.c(), [&] {
        const QJsonObject object = readFile();
        QCOMPARE(object.keys(), (QStringList{QStringLiteral("pid"), QStringLiteral("state")}));
        QCOMPARE(object.value(QStringLiteral("pid")).toInteger(), QCoreApplication::applicationPid());
        written.append(object.value(QStringLiteral("state")).toString());
    });
    rig.c().applicationDidFinishLaunching();
    QCOMPARE(readFile().value(QStringLiteral("state")).toString(), QStringLiteral("idle"));

    QVERIFY(rig.startTranscribing());
    rig.subsystems.transcription->finish();
    QCOMPARE(written, (QStringList{QStringLiteral("starting"), QStringLiteral("recording"), QStringLiteral("transcribing"), QStringLiteral("idle")}));

    rig.c().quitApplication();
    QVERIFY(!QFile::exists(RuntimeStateFile::path()));
}

void DictationControllerTest::shortcutIsStoredOnlyWhenRegistered_data()
{
    QTest::addColumn<bool>("atLaunch");
    QTest::addColumn<HotKeys::Registration>("registration");
    QTest::addColumn<QStringList>("alerts");
    using Registration = HotKeys::Registration;
    QTest::newRow("launch: registered") << true << Registration::registered << QStringList();
    QTest::newRow("launch: held by another program") << true << Registration::taken << QStringList{"Atajo no disponible"};
    QTest::newRow("launch: no global hot keys here") << true << Registration::unsupported << QStringList{"Sin atajo de dictado"};
    QTest::newRow("new: free combination") << false << Registration::registered << QStringList();
    QTest::newRow("new: held by another program") << false << Registration::taken << QStringList{"Atajo no disponible"};
    QTest::newRow("new: no global hot keys here") << false << Registration::unsupported << QStringList{"Sin atajo de dictado"};
}

void DictationControllerTest::shortcutIsStoredOnlyWhenRegistered()
{
    QFETCH(bool, atLaunch);
    QFETCH(HotKeys::Registration, registration);
    QFETCH(QStringList, alerts);
    Rig rig;
    const bool registered = registration == HotKeys::Registration::registered;
    if (atLaunch) {
        rig.subsystems.hotKeys->dictationRegistration = registration;
        rig.c().applicationDidFinishLaunching();
        QCOMPARE(rig.alertMessages(), alerts);
        if (registration == HotKeys::Registration::unsupported)
            QCOMPARE(rig.fake.alerts.shown.first().informativeText, QStringLiteral("Sin servidor X11."));
        return;
    }
    rig.c().applicationDidFinishLaunching();
    rig.subsystems.log.calls.clear();
    rig.subsystems.hotKeys->dictationRegistration = registration;
    const Shortcut chosen{96, 0x1200, Shortcut::displayText(96, 0x1200)};

    QCOMPARE(rig.c().applyShortcut(chosen), registered);

    const Shortcut inUse = registered ? chosen : Shortcut::defaultShortcut();
    QCOMPARE(rig.c().settings().shortcut, inUse);
    QCOMPARE(Shortcut::load(*rig.defaults), registered ? chosen : Shortcut::defaultShortcut());
    QCOMPARE(rig.c().statusItem().shortcutMenuTitle(), QStringLiteral("Atajo…   ") + inUse.display);
    // A refused combination puts the old one back: two registrations.
    QCOMPARE(rig.subsystems.log.count(QStringLiteral("hotkeys.register")), registered ? 1 : 2);
    QCOMPARE(rig.alertMessages(), alerts);
    if (registration == HotKeys::Registration::taken)
        QCOMPARE(rig.fake.alerts.shown.first().informativeText,
                 QStringLiteral("Ctrl+Shift+F5 ya lo utiliza el escritorio u otra aplicación. Elige otro."));
}

void DictationControllerTest::textLeftOnClipboardIsAnnounced_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");
    QTest::newRow("short") << "hola  desde\nMurmex" << "hola desde Murmex";
    QTest::newRow("more than eight words") << "uno dos tres cuatro cinco seis siete ocho nueve" << "uno dos tres cuatro cinco seis siete ocho…";
    QTest::newRow("one long word, cut before a split pair")
        << QString(59, QLatin1Char('a')) + QStringLiteral("😀b") << QString(59, QLatin1Char('a')) + QStringLiteral("…");
}

void DictationControllerTest::textLeftOnClipboardIsAnnounced()
{
    QFETCH(QString, text);
    QFETCH(QString, shown);
    Rig rig;
    rig.c().showTextLeftOnClipboard(text, QStringLiteral("El foco pasó a otro programa."));
    QCOMPARE(rig.c().statusItem().lastMessage(),
             QStringLiteral("El texto está en el portapapeles\n«%1» El foco pasó a otro programa. Pégalo con Ctrl+V donde quieras.").arg(shown));
}

void DictationControllerTest::traceOnlyWhenVariableIsExactlyOne_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<bool>("set");
    QTest::addColumn<bool>("traced");
    QTest::newRow("absent") << QByteArray() << false << false;
    QTest::newRow("empty") << QByteArray("") << true << false;
    QTest::newRow("0") << QByteArray("0") << true << false;
    QTest::newRow("true") << QByteArray("true") << true << false;
    QTest::newRow("1 with a space") << QByteArray("1 ") << true << false;
    QTest::newRow("11") << QByteArray("11") << true << false;
    QTest::newRow("1") << QByteArray("1") << true << true;
}

void DictationControllerTest::traceOnlyWhenVariableIsExactlyOne()
{
    QFETCH(QByteArray, value);
    QFETCH(bool, set);
    QFETCH(bool, traced);
    if (set)
        qputenv("MURMEX_STARTUP_TRACE", value);
    else
        qunsetenv("MURMEX_STARTUP_TRACE");
    StartupTrace::configureFromEnvironment();

    std::mutex mutex;
    QStringList lines;
    Log::setSink([&](const QString &line) {
        std::lock_guard lock(mutex);
        lines.append(line);
    });
    {
        Rig rig;
        QVERIFY(rig.startRecording());
    }
    Log::setSink({});
    StartupTrace::setEnabled(false);

    const QStringList traces = lines.filter(QRegularExpression(QStringLiteral("^MURMEX_STARTUP ")));
    if (!traced) {
        QVERIFY(traces.isEmpty());
        return;
    }
    QStringList labels;
    for (const QString &line : traces) {
        QVERIFY2(QRegularExpression(QStringLiteral("^MURMEX_STARTUP \\d+\\.\\d{6} [a-z-]+$")).match(line).hasMatch(), qPrintable(line));
        labels.append(line.section(QLatin1Char(' '), 2));
    }
    QCOMPARE(labels, (QStringList{QStringLiteral("shortcut"), QStringLiteral("volume-snapshot-ready"), QStringLiteral("recording-ready"),
                                  QStringLiteral("indicator-ready"), QStringLiteral("volume-applied"), QStringLiteral("cue-launched")}));
}

QTEST_MAIN(DictationControllerTest)
#include "DictationControllerTest.moc"
