// The dictation state machine against fake recorders and fake subsystems.

#include "FakePlatform.h"
#include "FakeSubsystems.h"
#include "app/AppDelegate.h"
#include "app/AppStorage.h"
#include "app/RuntimeStateFile.h"
#include "support/Log.h"
#include "support/Settings.h"
#include "support/StartupTrace.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

Q_DECLARE_METATYPE(DictationState)
Q_DECLARE_METATYPE(AppDelegate::TerminateReply)
Q_DECLARE_METATYPE(FakeRecorderFactory::Outcome)

#include <mutex>
#include <thread>

namespace {

constexpr int settleTimeout = 3000;
const QString recordingToolTip = QStringLiteral("Grabando — Ctrl+Alt+Super+D termina · Esc cancela");

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
    // A loud tick on the live recorder, metered as speech.
    bool speak()
    {
        subsystems.recorders->lastRecorder()->average = -30.0f;
        return QTest::qWaitFor([&] { return controller->hasDetectedSpeech(); }, settleTimeout);
    }
    bool reach(const QString &stateName)
    {
        if (stateName == QLatin1String("starting"))
            return startAndHoldInStarting();
        if (stateName == QLatin1String("recording"))
            return startRecording();
        if (stateName == QLatin1String("transcribing")) {
            if (!startRecording() || !speak())
                return false;
            press();
            return state() == DictationState::transcribing;
        }
        return true;
    }
};

} // namespace

class DictationControllerTest : public QObject {
    Q_OBJECT

private slots:
    // Every row: the state reached first, the event, a condition that changes the outcome, and what
    // must follow once background work has settled. The folder stays exactly when the dictation goes on.
    void transitions_data()
    {
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("event");
        QTest::addColumn<QString>("condition");
        QTest::addColumn<DictationState>("to");
        QTest::addColumn<QString>("alert");

        using S = DictationState;
        const QString none;
        const QString micAlert = QStringLiteral("Permiso de micrófono necesario");
        const QString recordAlert = QStringLiteral("No se pudo grabar");
        QTest::newRow("idle, press: recording") << "idle" << "press" << none << S::recording << none;
        QTest::newRow("idle, press, microphone denied") << "idle" << "press" << "mic-denied" << S::idle << micAlert;
        QTest::newRow("idle, press, microphone asked and granted") << "idle" << "press" << "mic-granted" << S::recording << none;
        QTest::newRow("idle, press, microphone asked and refused") << "idle" << "press" << "mic-refused" << S::idle << micAlert;
        QTest::newRow("idle, press, folder cannot be made") << "idle" << "press" << "folder-fails" << S::idle << recordAlert;
        QTest::newRow("idle, press, recorder fails") << "idle" << "press" << "recorder-fails" << S::idle << recordAlert;
        QTest::newRow("idle, press, file recorder (allow)") << "idle" << "press" << "allow" << S::recording << none;
        QTest::newRow("idle, press, Esc cannot be grabbed") << "idle" << "press" << "abort-taken" << S::recording << none;
        QTest::newRow("idle, Esc: nothing") << "idle" << "esc" << none << S::idle << none;
        QTest::newRow("starting, Esc: abort") << "starting" << "esc" << none << S::idle << none;
        QTest::newRow("recording, press with speech") << "recording" << "press" << "speech" << S::transcribing << none;
        QTest::newRow("recording, press with a loud peak only") << "recording" << "press" << "peak" << S::transcribing << none;
        QTest::newRow("recording, press in silence") << "recording" << "press" << "silence" << S::idle << none;
        QTest::newRow("recording, Esc: abort") << "recording" << "esc" << "speech" << S::idle << none;
        QTest::newRow("transcribing, press: beep") << "transcribing" << "press" << none << S::transcribing << none;
        QTest::newRow("transcribing, Esc: nothing") << "transcribing" << "esc" << none << S::transcribing << none;
    }

    void transitions()
    {
        QFETCH(QString, from);
        QFETCH(QString, event);
        QFETCH(QString, condition);
        QFETCH(DictationState, to);
        QFETCH(QString, alert);

        Rig rig;
        if (condition.startsWith(QLatin1String("mic-"))) {
            rig.fake.microphone.current = condition == QLatin1String("mic-denied") ? MicrophoneAuthorization::Status::denied
                                                                                    : MicrophoneAuthorization::Status::notDetermined;
            rig.fake.microphone.grant = condition == QLatin1String("mic-granted");
        }
        if (condition == QLatin1String("folder-fails")) { // a file where the data folder should be
            QFile blocker(AppStorage::supportRootURL());
            QVERIFY(blocker.open(QIODevice::WriteOnly));
        }
        if (condition == QLatin1String("recorder-fails"))
            rig.subsystems.recorders->queue({.succeeds = false});
        if (condition == QLatin1String("allow"))
            rig.c().setComputerAudioMode(ComputerAudioMode::allow);
        rig.subsystems.hotKeys->abortRegistrationSucceeds = condition != QLatin1String("abort-taken");

        QVERIFY2(rig.reach(from), qPrintable(QStringLiteral("could not reach ") + from));
        if (from == QLatin1String("recording")) {
            auto recorder = rig.subsystems.recorders->lastRecorder();
            if (condition == QLatin1String("speech"))
                recorder->average = -30.0f;
            if (condition == QLatin1String("peak"))
                recorder->peak = -20.0f;
        }
        const int transcriptionsBefore = rig.subsystems.log.count(QStringLiteral("transcribe"));
        rig.fake.frontmost.window = 0x3c00001; // the focus moves on while the user dictates

        if (event == QLatin1String("press"))
            rig.press();
        else
            rig.c().abortHotKeyPressed();
        rig.subsystems.recorders->openGate();

        QTRY_COMPARE_WITH_TIMEOUT(rig.state(), to, settleTimeout);
        QVERIFY(rig.waitForStartupCleanup());
        QVERIFY(rig.c().startupQueue().waitUntilDrained(settleTimeout));
        QVERIFY(rig.c().teardownQueue().waitUntilDrained(settleTimeout));
        QCoreApplication::processEvents(); // the teardown's hand-back to the main thread, posted by now
        QCOMPARE(rig.state(), to);
        QCOMPARE(rig.alertMessages(), alert.isEmpty() ? QStringList() : QStringList{alert});
        QCOMPARE(rig.fake.shell.beeps, from == QLatin1String("transcribing") && event == QLatin1String("press") ? 1 : 0);
        QCOMPARE(rig.recordingFolders().isEmpty(), to == DictationState::idle);

        const bool transcribed = rig.subsystems.log.count(QStringLiteral("transcribe")) > transcriptionsBefore;
        QCOMPARE(transcribed, from == QLatin1String("recording") && to == DictationState::transcribing);
        if (transcribed) {
            QCOMPARE(rig.subsystems.transcription->transcribedSegments, rig.subsystems.recorders->startedSegments());
            QCOMPARE(rig.c().insertionTarget().window, FakeFrontmostApplication{}.window); // where the dictation started
        }
        if (condition == QLatin1String("recorder-fails")) // the recorder's own reason reaches the user
            QCOMPARE(rig.fake.alerts.shown.first().informativeText, QStringLiteral("No se pudo iniciar el micrófono."));
        const QStringList &calls = rig.subsystems.log.calls;
        if (condition == QLatin1String("abort-taken")) // Esc still works, through the key monitors
            QVERIFY(calls.indexOf(QStringLiteral("abort.fallback")) > calls.indexOf(QStringLiteral("abort.register")));
        if (to == DictationState::recording) {
            QCOMPARE(rig.subsystems.recorders->modes().last(), condition == QLatin1String("allow") ? ComputerAudioMode::allow : ComputerAudioMode::exclude);
            QCOMPARE(rig.c().statusItem().toolTip(), recordingToolTip);
            // Entering "recording": indicator, then volume, then the start cue.
            QVERIFY(calls.indexOf(QStringLiteral("indicator.show")) < calls.indexOf(QStringLiteral("volume.apply")));
            QVERIFY(calls.indexOf(QStringLiteral("volume.apply")) < calls.indexOf(QStringLiteral("cue.started")));
        }
        if (from != QLatin1String("idle") && to == DictationState::idle)
            QVERIFY(!rig.subsystems.hotKeys->abortRegistered);
    }

    void pressDuringStartingAbortsAndTheTokenGuardsTheNextStart()
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

    void heldKeyActsOnceAndPanelsSwallowPresses()
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

    void overtakenStartupIsCleanedUp()
    {
        Rig rig;
        QVERIFY(rig.startAndHoldInStarting());
        rig.subsystems.recorders->openGate();
        // The result is on its way to the main thread, which handles no events here, and the start-up
        // queue waits for it…
        const QDeadlineTimer deadline(settleTimeout);
        while (!rig.c().startupQueue().isSuspended() && !deadline.hasExpired())
            std::this_thread::yield();
        QVERIFY(rig.c().startupQueue().isSuspended());
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

    void quitDuringStartingWaitsForCleanup_data()
    {
        QTest::addColumn<bool>("recorderFails");
        QTest::newRow("recorder starts") << false;
        QTest::newRow("recorder fails: no alert, the user is leaving") << true;
    }

    void quitDuringStartingWaitsForCleanup()
    {
        QFETCH(bool, recorderFails);
        Rig rig;
        rig.c().applicationDidFinishLaunching();
        QSignalSpy terminated(&rig.c(), &AppDelegate::terminated);
        if (recorderFails)
            rig.subsystems.recorders->queue({.succeeds = false});
        QVERIFY(rig.startAndHoldInStarting());
        QCOMPARE(rig.recordingFolders().size(), 1);

        rig.c().quitApplication();
        QCOMPARE(rig.state(), DictationState::idle);
        QCoreApplication::processEvents(); // the start-up is held at the gate: nothing may end yet
        QCOMPARE(terminated.size(), 0);
        QVERIFY(QFile::exists(RuntimeStateFile::path()));

        rig.subsystems.recorders->openGate();
        QTRY_COMPARE_WITH_TIMEOUT(terminated.size(), 1, settleTimeout);
        QVERIFY(rig.alertMessages().isEmpty());
        QVERIFY(rig.recordingFolders().isEmpty());
        QVERIFY(!QFile::exists(RuntimeStateFile::path()));
        QVERIFY(rig.subsystems.log.calls.contains(QStringLiteral("hotkeys.remove")));
    }

    // "later" answers end the application once the start-up or restart has cleaned up.
    void terminationAnswers_data()
    {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<AppDelegate::TerminateReply>("reply");

        using R = AppDelegate::TerminateReply;
        QTest::newRow("idle") << "idle" << R::terminateNow;
        QTest::newRow("recording without the quit entry") << "recording" << R::terminateCancel;
        QTest::newRow("transcribing without the quit entry") << "transcribing" << R::terminateCancel;
        QTest::newRow("transcribing after the quit entry") << "transcribing-quit" << R::terminateNow;
        QTest::newRow("during a start-up") << "starting" << R::terminateLater;
        QTest::newRow("during a recorder restart") << "restarting" << R::terminateLater;
    }

    void terminationAnswers()
    {
        QFETCH(QString, situation);
        QFETCH(AppDelegate::TerminateReply, reply);

        Rig rig;
        QSignalSpy terminated(&rig.c(), &AppDelegate::terminated);
        if (situation == QLatin1String("restarting")) {
            QVERIFY(rig.startRecording());
            rig.subsystems.recorders->closeGate();
            rig.subsystems.recorders->lastRecorder()->failUnexpectedly();
            // The restart needs the event loop (its hand-over and its back-off): wait without blocking it.
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
        if (reply == AppDelegate::TerminateReply::terminateLater)
            QTRY_COMPARE_WITH_TIMEOUT(terminated.size(), 1, settleTimeout);
        else if (reply == AppDelegate::TerminateReply::terminateCancel)
            QCOMPARE(terminated.size(), 0);
    }

    // A recorder that stops on its own is replaced on a new segment until one keeps recording; a
    // full disk instead ends the recording and transcribes what it holds.
    void interruptedRecorderIsReplaced_data()
    {
        QTest::addColumn<bool>("diskFull");
        QTest::addColumn<FakeRecorderFactory::Outcome>("nextStart");
        QTest::addColumn<QStringList>("transcribed");
        QTest::addColumn<QString>("message");
        const QStringList two{"segment-001.wav", "segment-002.wav"};
        QTest::newRow("replaced") << false << FakeRecorderFactory::Outcome{} << two << QString();
        QTest::newRow("the replacement fails to start") << false << FakeRecorderFactory::Outcome{.succeeds = false} << two << QString();
        QTest::newRow("the replacement stops at once") << false << FakeRecorderFactory::Outcome{.stopsAtOnce = true} << two << QString();
        QTest::newRow("the replacement stops at once after some audio")
            << false << FakeRecorderFactory::Outcome{.stopsAtOnce = true, .audioSeconds = 0.5}
            << QStringList{"segment-001.wav", "segment-002.wav", "segment-003.wav"} << QString();
        QTest::newRow("the replacement finds the disk full")
            << false << FakeRecorderFactory::Outcome{.stopsAtOnce = true, .audioSeconds = 1, .diskFull = true} << two
            << "Disco lleno: se grabaron 3 s";
        QTest::newRow("disk full") << true << FakeRecorderFactory::Outcome{} << QStringList{"segment-001.wav"} << "Disco lleno: se grabaron 2 s";
    }

    void interruptedRecorderIsReplaced()
    {
        QFETCH(bool, diskFull);
        QFETCH(FakeRecorderFactory::Outcome, nextStart);
        QFETCH(QStringList, transcribed);
        QFETCH(QString, message);
        Rig rig;
        rig.subsystems.recorders->queue({.audioSeconds = 2});
        rig.subsystems.recorders->queue(nextStart);
        QVERIFY(rig.startRecording());
        QVERIFY(rig.speak());
        rig.subsystems.recorders->lastRecorder()->failUnexpectedly(diskFull);
        if (!diskFull) {
            QTRY_VERIFY_WITH_TIMEOUT(rig.c().hasPendingRecorderRestart(), settleTimeout);
            QCOMPARE(rig.c().statusItem().toolTip(), QStringLiteral("Reconectando el micrófono… la grabación anterior está guardada"));
        }
        if (message.isEmpty()) { // the dictation goes on with a live recorder
            QTRY_VERIFY_WITH_TIMEOUT(rig.c().recordingSegments().size() == transcribed.size() && !rig.c().hasPendingRecorderRestart()
                                         && rig.subsystems.recorders->lastRecorder()->isRecording(),
                                     settleTimeout);
            QCOMPARE(rig.c().statusItem().toolTip(), recordingToolTip);
            QVERIFY(rig.speak());
            rig.press();
        }
        QTRY_COMPARE_WITH_TIMEOUT(rig.state(), DictationState::transcribing, settleTimeout);
        QStringList names;
        for (const QString &segment : rig.subsystems.transcription->transcribedSegments) {
            QVERIFY(QFile::exists(segment));
            names.append(QFileInfo(segment).fileName());
        }
        QCOMPARE(names, transcribed);
        QCOMPARE(rig.c().statusItem().lastMessage().section(QLatin1Char('\n'), 0, 0), message);
        QVERIFY(!rig.c().hasPendingRecorderRestart());
    }

    // Quitting from the menu or by a signal while the text is on its way: the recording stays, and
    // nothing the transcription reports afterwards reaches the user or the runtime state file.
    void quitWhileTranscribing_data()
    {
        QTest::addColumn<bool>("fromMenu");
        QTest::newRow("menu") << true;
        QTest::newRow("termination signal") << false;
    }

    void quitWhileTranscribing()
    {
        QFETCH(bool, fromMenu);
        Rig rig;
        rig.c().applicationDidFinishLaunching();
        QSignalSpy terminated(&rig.c(), &AppDelegate::terminated);
        QVERIFY(rig.reach(QStringLiteral("transcribing")));
        if (fromMenu)
            rig.c().quitApplication();
        else
            rig.c().applicationWillTerminate();
        QCOMPARE(terminated.size(), 1);
        QVERIFY(rig.subsystems.log.calls.contains(QStringLiteral("transcription.terminate")));

        rig.subsystems.transcription->finish(); // a late report of the ended job
        QVERIFY(!QFile::exists(RuntimeStateFile::path()));
        QVERIFY(rig.alertMessages().isEmpty());
        QCOMPARE(rig.recordingFolders().size(), 1);
    }

    void stopWhileRestartPendingTranscribesWhatExists()
    {
        Rig rig;
        QVERIFY(rig.startRecording());
        QVERIFY(rig.speak());
        rig.subsystems.recorders->lastRecorder()->failUnexpectedly();
        QTRY_VERIFY_WITH_TIMEOUT(rig.c().hasPendingRecorderRestart(), settleTimeout);

        rig.press();
        QCOMPARE(rig.state(), DictationState::transcribing);
        QCOMPARE(rig.subsystems.transcription->transcribedSegments.size(), 1);
        // Nothing is left that could start a recorder: no restart timer, no restart in flight.
        QVERIFY(!rig.c().hasPendingRecorderRestart());
        QVERIFY(!rig.c().hasRecorderRestartCancellation());
        QCoreApplication::processEvents();
        QCOMPARE(rig.subsystems.recorders->startedSegments().size(), 1);
    }

    void runtimeStateFileFollowsTheDictation()
    {
        Rig rig;
        const auto readFile = [] {
            QFile file(RuntimeStateFile::path());
            return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object() : QJsonObject();
        };
        QStringList written;
        connect(&rig.c(), &AppDelegate::stateChanged, &rig.c(), [&] {
            const QJsonObject object = readFile();
            QCOMPARE(object.keys(), (QStringList{QStringLiteral("pid"), QStringLiteral("state")}));
            QCOMPARE(object.value(QStringLiteral("pid")).toInteger(), QCoreApplication::applicationPid());
            written.append(object.value(QStringLiteral("state")).toString());
        });
        rig.c().applicationDidFinishLaunching();
        QCOMPARE(readFile().value(QStringLiteral("state")).toString(), QStringLiteral("idle"));

        QVERIFY(rig.reach(QStringLiteral("transcribing")));
        rig.subsystems.transcription->finish();
        QCOMPARE(written, (QStringList{QStringLiteral("starting"), QStringLiteral("recording"), QStringLiteral("transcribing"), QStringLiteral("idle")}));

        rig.c().quitApplication();
        QVERIFY(!QFile::exists(RuntimeStateFile::path()));
    }

    void shortcutIsStoredOnlyWhenRegistered_data()
    {
        QTest::addColumn<bool>("atLaunch");
        QTest::addColumn<HotKeys::Registration>("registration");
        QTest::addColumn<QStringList>("alerts");
        using Registration = HotKeys::Registration;
        for (const bool atLaunch : {true, false}) {
            const char *when = atLaunch ? "launch" : "new";
            QTest::addRow("%s: registered", when) << atLaunch << Registration::registered << QStringList();
            QTest::addRow("%s: held by another program", when) << atLaunch << Registration::taken << QStringList{"Atajo no disponible"};
            QTest::addRow("%s: no global hot keys here", when) << atLaunch << Registration::unsupported << QStringList{"Sin atajo de dictado"};
        }
    }

    void shortcutIsStoredOnlyWhenRegistered()
    {
        QFETCH(bool, atLaunch);
        QFETCH(HotKeys::Registration, registration);
        QFETCH(QStringList, alerts);
        Rig rig;
        if (atLaunch) {
            rig.subsystems.hotKeys->dictationRegistration = registration;
            rig.c().applicationDidFinishLaunching();
            QCOMPARE(rig.alertMessages(), alerts);
            if (registration == HotKeys::Registration::unsupported) // the reason the desktop gave
                QCOMPARE(rig.fake.alerts.shown.first().informativeText, QStringLiteral("Sin servidor X11."));
            return;
        }
        rig.c().applicationDidFinishLaunching();
        rig.subsystems.log.calls.clear();
        rig.subsystems.hotKeys->dictationRegistration = registration;
        const Shortcut chosen{96, 0x1200, Shortcut::displayText(96, 0x1200)};
        const bool registered = registration == HotKeys::Registration::registered;

        QCOMPARE(rig.c().applyShortcut(chosen), registered);

        const Shortcut inUse = registered ? chosen : Shortcut::defaultShortcut();
        QCOMPARE(rig.c().settings().shortcut, inUse);
        QCOMPARE(Shortcut::load(*rig.defaults), inUse);
        QCOMPARE(rig.c().statusItem().shortcutMenuTitle(), QStringLiteral("Atajo…   ") + inUse.display);
        // A refused combination puts the old one back: two registrations.
        QCOMPARE(rig.subsystems.log.count(QStringLiteral("hotkeys.register")), registered ? 1 : 2);
        QCOMPARE(rig.alertMessages(), alerts);
        if (registration == HotKeys::Registration::taken)
            QCOMPARE(rig.fake.alerts.shown.first().informativeText,
                     QStringLiteral("Ctrl+Shift+F5 ya lo utiliza el escritorio u otra aplicación. Elige otro."));
    }

    void textLeftOnClipboardIsAnnounced_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("shown");
        QTest::newRow("short") << "hola  desde\nMurmex" << "hola desde Murmex";
        QTest::newRow("more than eight words") << "uno dos tres cuatro cinco seis siete ocho nueve" << "uno dos tres cuatro cinco seis siete ocho…";
        QTest::newRow("one long word, cut before a split pair")
            << QString(59, QLatin1Char('a')) + QStringLiteral("😀b") << QString(59, QLatin1Char('a')) + QStringLiteral("…");
    }

    void textLeftOnClipboardIsAnnounced()
    {
        QFETCH(QString, text);
        QFETCH(QString, shown);
        Rig rig;
        rig.c().showTextLeftOnClipboard(text, QStringLiteral("El foco pasó a otro programa."));
        QCOMPARE(rig.c().statusItem().lastMessage(),
                 QStringLiteral("El texto está en el portapapeles\n«%1» El foco pasó a otro programa. Pégalo con Ctrl+V donde quieras.").arg(shown));
    }

    void traceOnlyWhenVariableIsExactlyOne_data()
    {
        QTest::addColumn<QByteArray>("value"); // null: not set
        QTest::addColumn<bool>("traced");
        QTest::newRow("absent") << QByteArray() << false;
        QTest::newRow("true") << QByteArray("true") << false;
        QTest::newRow("1 with a space") << QByteArray("1 ") << false;
        QTest::newRow("11") << QByteArray("11") << false;
        QTest::newRow("1") << QByteArray("1") << true;
    }

    void traceOnlyWhenVariableIsExactlyOne()
    {
        QFETCH(QByteArray, value);
        QFETCH(bool, traced);
        if (value.isNull())
            qunsetenv("MURMEX_STARTUP_TRACE");
        else
            qputenv("MURMEX_STARTUP_TRACE", value);
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
        QCOMPARE(!lines.filter(QRegularExpression(QStringLiteral("^MURMEX_STARTUP "))).isEmpty(), traced);
    }
};

QTEST_MAIN(DictationControllerTest)
#include "DictationControllerTest.moc"
