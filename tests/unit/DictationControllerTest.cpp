// The dictation state machine against fake recorders and fake subsystems.

#include "FakePlatform.h"
#include "FakeSubsystems.h"
#include "TestWav.h"
#include "app/AppDelegate.h"
#include "app/AppStorage.h"
#include "app/RuntimeStateFile.h"
#include "transcription/KeptRecordings.h"
#include "support/Log.h"
#include "support/Settings.h"
#include "support/StartupTrace.h"

#include <QAction>
#include <QDeadlineTimer>
#include <QMenu>
#include <QDir>
#include <QDirIterator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <thread>

Q_DECLARE_METATYPE(DictationState)
Q_DECLARE_METATYPE(AppDelegate::TerminateReply)
Q_DECLARE_METATYPE(FakeRecorderFactory::Outcome)

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr int settleTimeout = 3000;
const QString recordingToolTip = u"Grabando — Ctrl+Alt+Super+D termina · Esc cancela"_s;

// One controller with its fakes, in a data folder of its own.
struct Rig {
    QTemporaryDir home;
    FakePlatform fake;
    FakeSubsystems subsystems;
    FakeRecorderFactory &recorders = *subsystems.recorders;
    std::unique_ptr<Settings> defaults;
    std::unique_ptr<AppDelegate> controller;

    Rig()
    {
        qputenv("XDG_DATA_HOME", home.path().toUtf8());
        defaults = std::make_unique<Settings>(home.filePath(u"Murmex.conf"_s));
        controller = std::make_unique<AppDelegate>(fake.platform, *defaults, subsystems.make());
    }
    ~Rig()
    {
        recorders.openGate(); // a test that failed may have left a start-up waiting
        controller.reset();
    }

    AppDelegate &c() { return *controller; }
    DictationState state() const { return controller->state(); }
    QStringList recordingFolders() const { return QDir(AppStorage::recordingsRootURL()).entryList(QDir::Dirs | QDir::NoDotAndDotDot); }
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
    // Background work done, and its hand-back to the main thread handled.
    bool settle()
    {
        const bool settled = waitForStartupCleanup() && controller->startupQueue().waitUntilDrained(settleTimeout)
            && controller->teardownQueue().waitUntilDrained(settleTimeout);
        QCoreApplication::processEvents();
        return settled;
    }
    // A loud tick on the live recorder, metered as speech.
    bool speak()
    {
        recorders.lastRecorder()->average = -30.0f;
        return QTest::qWaitFor([&] { return controller->hasDetectedSpeech(); }, settleTimeout);
    }
    bool reach(const QString &stateName)
    {
        if (stateName == u"starting") { // held inside the recorder factory
            recorders.closeGate();
            press();
            return state() == DictationState::starting && recorders.waitUntilHeldAtGate(settleTimeout);
        }
        if (stateName == u"idle")
            return true;
        press();
        if (!QTest::qWaitFor([&] { return state() == DictationState::recording; }, settleTimeout))
            return false;
        if (stateName == u"recording")
            return true;
        if (!speak())
            return false;
        press();
        return state() == DictationState::transcribing;
    }
};

// The menu as the user reads it: one line per visible entry, "—" for a separator, " (off)" when
// disabled, "[x]"/"[ ]" for check items, and a submenu's entries indented below it.
QStringList menuLines(const QMenu *menu, const QString &indent = {})
{
    QStringList lines;
    for (const QAction *action : menu->actions()) {
        if (!action->isVisible())
            continue;
        QString line = indent + (action->isSeparator() ? u"—"_s : action->text());
        if (!action->isEnabled())
            line += u" (off)"_s;
        if (action->isCheckable())
            line += action->isChecked() ? u" [x]"_s : u" [ ]"_s;
        lines.append(line);
        if (action->menu())
            lines += menuLines(action->menu(), indent + u"  "_s);
    }
    return lines;
}

QAction *menuItem(const QMenu *menu, const QString &title)
{
    for (QAction *action : menu->actions()) {
        if (action->text() == title)
            return action;
        if (action->menu())
            if (QAction *found = menuItem(action->menu(), title))
                return found;
    }
    return nullptr;
}

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
        const QString none, micAlert = u"Permiso de micrófono necesario"_s, recordAlert = u"No se pudo grabar"_s;
        QTest::newRow("idle, press: recording") << "idle" << "press" << none << S::recording << none;
        QTest::newRow("idle, press held (auto-repeat): one dictation") << "idle" << "held" << none << S::recording << none;
        QTest::newRow("idle, press, microphone denied") << "idle" << "press" << "mic-denied" << S::idle << micAlert;
        QTest::newRow("idle, press, microphone asked and granted") << "idle" << "press" << "mic-granted" << S::recording << none;
        QTest::newRow("idle, press, microphone asked and refused") << "idle" << "press" << "mic-refused" << S::idle << micAlert;
        QTest::newRow("idle, press, folder cannot be made") << "idle" << "press" << "folder-fails" << S::idle << recordAlert;
        QTest::newRow("idle, press, recorder fails") << "idle" << "press" << "recorder-fails" << S::idle << recordAlert;
        QTest::newRow("idle, press, file recorder (allow)") << "idle" << "press" << "allow" << S::recording << none;
        QTest::newRow("idle, press, Esc cannot be grabbed") << "idle" << "press" << "abort-taken" << S::recording << none;
        QTest::newRow("idle, Esc: nothing") << "idle" << "esc" << none << S::idle << none;
        QTest::newRow("starting, Esc: abort") << "starting" << "esc" << none << S::idle << none;
        QTest::newRow("starting, press: abort, the token guards the next start") << "starting" << "press" << none << S::idle << none;
        QTest::newRow("starting, Esc with the result on its way") << "starting" << "esc" << "result-on-the-way" << S::idle << none;
        QTest::newRow("recording, press with speech") << "recording" << "press" << "speech" << S::transcribing << none;
        QTest::newRow("recording, press with a loud peak only") << "recording" << "press" << "peak" << S::transcribing << none;
        QTest::newRow("recording, press in silence") << "recording" << "press" << "silence" << S::idle << none;
        QTest::newRow("recording, Esc: abort") << "recording" << "esc" << "speech" << S::idle << none;
        QTest::newRow("recording, press with a panel open: nothing") << "recording" << "press" << "panel" << S::recording << none;
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
        using Microphone = MicrophoneAuthorization::Status;
        rig.fake.microphone.current = condition == u"mic-denied" ? Microphone::denied
            : condition.startsWith(u"mic-")                     ? Microphone::notDetermined
                                                                : Microphone::authorized;
        rig.fake.microphone.grant = condition == u"mic-granted";
        if (condition == u"folder-fails") // a file where the data folder should be
            QVERIFY(QFile(AppStorage::supportRootURL()).open(QIODevice::WriteOnly));
        if (condition == u"recorder-fails")
            rig.recorders.queue({.succeeds = false});
        if (condition == u"allow")
            rig.c().setComputerAudioMode(ComputerAudioMode::allow);
        rig.subsystems.hotKeys->abortRegistrationSucceeds = condition != u"abort-taken";

        QVERIFY2(rig.reach(from), qPrintable(u"could not reach "_s + from));
        if (condition == u"speech")
            rig.recorders.lastRecorder()->average = -30.0f;
        if (condition == u"peak")
            rig.recorders.lastRecorder()->peak = -20.0f;
        if (condition == u"result-on-the-way") { // the main thread handles no events here: the start-up queue waits for it
            rig.recorders.openGate();
            const QDeadlineTimer deadline(settleTimeout);
            while (!rig.c().startupQueue().isSuspended() && !deadline.hasExpired())
                std::this_thread::yield();
            QVERIFY(rig.c().startupQueue().isSuspended());
        }
        const int transcriptionsBefore = rig.subsystems.log.count(u"transcribe"_s);
        rig.fake.frontmost.window = 0x3c00001; // the focus moves on while the user dictates

        QObject panel;
        if (condition == u"panel")
            rig.c().recordingVolumeController = &panel;
        if (event == u"held")
            rig.c().dictationHotKeyPressed(); // the auto-repeat presses again before the release
        event == u"esc" ? rig.c().abortHotKeyPressed() : rig.press();
        if (from == u"starting" && event == u"press") { // the start-up still holds its token: a press is ignored
            QVERIFY(rig.c().hasRecordingStartupCancellation());
            rig.press();
            QCOMPARE(rig.state(), DictationState::idle);
        }
        rig.recorders.openGate();

        QTRY_COMPARE_WITH_TIMEOUT(rig.state(), to, settleTimeout);
        QVERIFY(rig.settle());
        QCOMPARE(rig.state(), to);
        QCOMPARE(rig.alertMessages(), alert.isEmpty() ? QStringList() : QStringList{alert});
        QCOMPARE(rig.fake.shell.beeps, from == u"transcribing" && event == u"press" ? 1 : 0);
        QCOMPARE(rig.recordingFolders().isEmpty(), to == DictationState::idle);

        const bool transcribed = rig.subsystems.log.count(u"transcribe"_s) > transcriptionsBefore;
        QCOMPARE(transcribed, from == u"recording" && to == DictationState::transcribing);
        if (transcribed) {
            QCOMPARE(rig.subsystems.transcription->transcribedSegments, rig.recorders.startedSegments());
            QCOMPARE(rig.c().insertionTarget().window, FakeFrontmostApplication{}.window); // where the dictation started
        }
        if (condition == u"recorder-fails") // the recorder's own reason reaches the user
            QCOMPARE(rig.fake.alerts.shown.first().informativeText, u"No se pudo iniciar el micrófono."_s);
        const QStringList &calls = rig.subsystems.log.calls;
        if (condition == u"abort-taken") // Esc still works, through the key monitors
            QVERIFY(calls.indexOf(u"abort.fallback"_s) > calls.indexOf(u"abort.register"_s));
        if (to == DictationState::recording) {
            QCOMPARE(rig.recorders.startedSegments().size(), 1);
            QCOMPARE(rig.recorders.modes().last(), condition == u"allow" ? ComputerAudioMode::allow : ComputerAudioMode::exclude);
            QCOMPARE(rig.c().statusItem().toolTip(), recordingToolTip);
            // Entering "recording": indicator, then volume, then the start cue.
            QVERIFY(calls.indexOf(u"indicator.show"_s) < calls.indexOf(u"volume.apply"_s));
            QVERIFY(calls.indexOf(u"volume.apply"_s) < calls.indexOf(u"cue.started"_s));
        }
        if (from != u"idle" && to == DictationState::idle)
            QVERIFY(!rig.subsystems.hotKeys->abortRegistered);
        // The runtime state file follows, with this process's id.
        QFile stateFile(RuntimeStateFile::path());
        if (stateFile.open(QIODevice::ReadOnly) || to != DictationState::idle) {
            const auto written = RuntimeStateFile::parse(stateFile.readAll());
            QVERIFY(written && written->pid == QCoreApplication::applicationPid() && written->state == to);
        }
        if (from == u"starting") { // the start-up is undone (a stale result stopped), and the next one runs
            const auto recorder = rig.recorders.lastRecorder();
            QCOMPARE(bool(recorder), condition == u"result-on-the-way"); // otherwise cancelled before it started
            QVERIFY(!recorder || (recorder->stops == 1 && !recorder->hasUnexpectedStopHandler()));
            QVERIFY(!rig.c().startupQueue().isSuspended());
            QCOMPARE(rig.recorders.startedSegments().size(), 1);
            QVERIFY(rig.reach(u"recording"_s));
        }
    }

    // Quitting from the menu, by a termination signal, or when the session asks: "later" answers end
    // the application once the start-up or restart has cleaned up. A recording on its way to text
    // stays, and nothing the transcription reports afterwards reaches the user or the state file.
    void quitting_data()
    {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<QString>("way");
        QTest::addColumn<AppDelegate::TerminateReply>("reply"); // the session's answer, or when the others end it
        QTest::addColumn<bool>("recorderFails");
        using R = AppDelegate::TerminateReply;
        QTest::newRow("session asks, idle") << "idle" << "session" << R::terminateNow << false;
        QTest::newRow("session asks, recording") << "recording" << "session" << R::terminateCancel << false;
        QTest::newRow("session asks, transcribing") << "transcribing" << "session" << R::terminateCancel << false;
        QTest::newRow("session asks during a start-up") << "starting" << "session" << R::terminateLater << false;
        QTest::newRow("session asks during a recorder restart") << "restarting" << "session" << R::terminateLater << false;
        QTest::newRow("menu while transcribing") << "transcribing" << "menu" << R::terminateNow << false;
        QTest::newRow("signal while transcribing") << "transcribing" << "signal" << R::terminateNow << false;
        QTest::newRow("menu during a start-up") << "starting" << "menu" << R::terminateLater << false;
        QTest::newRow("menu during a start-up, the recorder fails: no alert") << "starting" << "menu" << R::terminateLater << true;
    }

    void quitting()
    {
        QFETCH(QString, situation);
        QFETCH(QString, way);
        QFETCH(AppDelegate::TerminateReply, reply);
        QFETCH(bool, recorderFails);
        using R = AppDelegate::TerminateReply;
        Rig rig;
        rig.c().applicationDidFinishLaunching();
        QSignalSpy terminated(&rig.c(), &AppDelegate::terminated);
        if (recorderFails)
            rig.recorders.queue({.succeeds = false});
        QVERIFY(rig.reach(situation == u"restarting" ? u"recording"_s : situation));
        if (situation == u"restarting") {
            rig.recorders.closeGate();
            rig.recorders.lastRecorder()->failUnexpectedly();
            // The restart needs the event loop (its hand-over and its back-off): wait without blocking it.
            QTRY_VERIFY_WITH_TIMEOUT(rig.recorders.isHeldAtGate(), settleTimeout);
            QVERIFY(rig.c().hasRecorderRestartCancellation());
        }

        if (way == u"session")
            QCOMPARE(rig.c().applicationShouldTerminate(), reply);
        else if (way == u"menu")
            rig.c().quitApplication();
        else
            rig.c().applicationWillTerminate();
        QCOMPARE(terminated.size(), way != u"session" && reply == R::terminateNow ? 1 : 0);
        if (way == u"session" && reply != R::terminateLater)
            return; // "now" lets the session end it, "cancel" keeps it running
        if (reply == R::terminateLater) {
            QVERIFY(way == u"session" || rig.state() == DictationState::idle);
            QCoreApplication::processEvents(); // the start-up is held at the gate: nothing may end yet
            QCOMPARE(terminated.size(), 0);
            QVERIFY(QFile::exists(RuntimeStateFile::path()));
            rig.recorders.openGate();
            QTRY_COMPARE_WITH_TIMEOUT(terminated.size(), 1, settleTimeout);
        }
        if (situation == u"transcribing") {
            QVERIFY(rig.subsystems.log.calls.contains(u"transcription.terminate"_s));
            rig.subsystems.transcription->finish(); // a late report of the ended job
        }
        QVERIFY(!QFile::exists(RuntimeStateFile::path()));
        QVERIFY(rig.alertMessages().isEmpty());
        QCOMPARE(rig.recordingFolders().size(), situation == u"starting" ? 0 : 1);
    }

    // A recorder that stops on its own is replaced on a new segment until one keeps recording; a
    // full disk instead ends the recording and transcribes what it holds, and so does the user
    // stopping while the replacement waits. Nothing is left after that which could start a recorder.
    void interruptedRecorderIsReplaced_data()
    {
        QTest::addColumn<bool>("diskFull");
        QTest::addColumn<FakeRecorderFactory::Outcome>("nextStart");
        QTest::addColumn<bool>("stopDuringRestart");
        QTest::addColumn<QStringList>("transcribed");
        QTest::addColumn<QString>("message");
        using Outcome = FakeRecorderFactory::Outcome;
        const QStringList one{"segment-001.wav"}, two{"segment-001.wav", "segment-002.wav"};
        QTest::newRow("replaced") << false << Outcome{} << false << two << QString();
        QTest::newRow("the replacement fails to start") << false << Outcome{.succeeds = false} << false << two << QString();
        QTest::newRow("the replacement stops at once") << false << Outcome{.stopsAtOnce = true} << false << two << QString();
        QTest::newRow("the replacement stops at once after some audio")
            << false << Outcome{.stopsAtOnce = true, .audioSeconds = 0.5} << false << (two + QStringList{"segment-003.wav"}) << QString();
        QTest::newRow("the replacement finds the disk full")
            << false << Outcome{.stopsAtOnce = true, .audioSeconds = 1, .diskFull = true} << false << two << "Disco lleno: se grabaron 3 s";
        QTest::newRow("disk full") << true << Outcome{} << false << one << "Disco lleno: se grabaron 2 s";
        QTest::newRow("stopped while the replacement waits") << false << Outcome{} << true << one << QString();
    }

    void interruptedRecorderIsReplaced()
    {
        QFETCH(bool, diskFull);
        QFETCH(FakeRecorderFactory::Outcome, nextStart);
        QFETCH(bool, stopDuringRestart);
        QFETCH(QStringList, transcribed);
        QFETCH(QString, message);
        Rig rig;
        rig.recorders.queue({.audioSeconds = 2});
        rig.recorders.queue(nextStart);
        QVERIFY(rig.reach(u"recording"_s) && rig.speak());
        rig.recorders.lastRecorder()->failUnexpectedly(diskFull);
        if (!diskFull) {
            QTRY_VERIFY_WITH_TIMEOUT(rig.c().hasPendingRecorderRestart(), settleTimeout);
            QCOMPARE(rig.c().statusItem().toolTip(), u"Reconectando el micrófono… la grabación anterior está guardada"_s);
        }
        if (stopDuringRestart) {
            rig.press();
            QCOMPARE(rig.state(), DictationState::transcribing);
        } else if (message.isEmpty()) { // the dictation goes on with a live recorder
            QTRY_VERIFY_WITH_TIMEOUT(rig.c().recordingSegments().size() == transcribed.size() && !rig.c().hasPendingRecorderRestart()
                                         && rig.recorders.lastRecorder()->isRecording(),
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
        QCOMPARE(rig.c().statusItem().lastMessage().section(u'\n', 0, 0), message);
        QVERIFY(!rig.c().hasPendingRecorderRestart());
        QVERIFY(!rig.c().hasRecorderRestartCancellation());
        const qsizetype started = rig.recorders.startedSegments().size();
        QCoreApplication::processEvents();
        QCOMPARE(rig.recorders.startedSegments().size(), stopDuringRestart ? 1 : started);
    }

    void shortcutIsStoredOnlyWhenRegistered_data()
    {
        QTest::addColumn<bool>("atLaunch");
        QTest::addColumn<HotKeys::Registration>("registration");
        QTest::addColumn<QStringList>("alerts");
        for (const bool atLaunch : {true, false}) {
            const char *when = atLaunch ? "launch" : "new";
            QTest::addRow("%s: registered", when) << atLaunch << HotKeys::Registration::registered << QStringList();
            QTest::addRow("%s: held by another program", when) << atLaunch << HotKeys::Registration::taken << QStringList{"Atajo no disponible"};
            QTest::addRow("%s: no global hot keys here", when) << atLaunch << HotKeys::Registration::unsupported << QStringList{"Sin atajo de dictado"};
        }
    }

    void shortcutIsStoredOnlyWhenRegistered()
    {
        QFETCH(bool, atLaunch);
        QFETCH(HotKeys::Registration, registration);
        QFETCH(QStringList, alerts);
        Rig rig;
        if (atLaunch)
            rig.subsystems.hotKeys->dictationRegistration = registration;
        rig.c().applicationDidFinishLaunching();
        if (atLaunch) {
            QCOMPARE(rig.alertMessages(), alerts);
            if (registration == HotKeys::Registration::unsupported) // the reason the desktop gave
                QCOMPARE(rig.fake.alerts.shown.first().informativeText, u"Sin servidor X11."_s);
            return;
        }
        rig.subsystems.log.calls.clear();
        rig.subsystems.hotKeys->dictationRegistration = registration;
        const Shortcut chosen{96, 0x1200, Shortcut::displayText(96, 0x1200)};
        const bool registered = registration == HotKeys::Registration::registered;

        QCOMPARE(rig.c().applyShortcut(chosen), registered);
        const Shortcut inUse = registered ? chosen : Shortcut::defaultShortcut();
        QCOMPARE(rig.c().settings().shortcut, inUse);
        QCOMPARE(Shortcut::load(*rig.defaults), inUse);
        QVERIFY(menuLines(rig.c().statusMenu()).contains(u"Atajo…   "_s + inUse.display));
        // A refused combination puts the old one back: two registrations.
        QCOMPARE(rig.subsystems.log.count(u"hotkeys.register"_s), registered ? 1 : 2);
        QCOMPARE(rig.alertMessages(), alerts);
        if (registration == HotKeys::Registration::taken)
            QCOMPARE(rig.fake.alerts.shown.first().informativeText, u"Ctrl+Shift+F5 ya lo utiliza el escritorio u otra aplicación. Elige otro."_s);
    }

    void textLeftOnClipboardIsAnnounced_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("shown");
        QTest::newRow("short") << "hola  desde\nMurmex" << "hola desde Murmex";
        QTest::newRow("more than eight words") << "uno dos tres cuatro cinco seis siete ocho nueve" << "uno dos tres cuatro cinco seis siete ocho…";
        QTest::newRow("one long word, cut before a split pair") << QString(59, u'a') + u"😀b"_s << QString(59, u'a') + u"…"_s;
    }

    void textLeftOnClipboardIsAnnounced()
    {
        QFETCH(QString, text);
        QFETCH(QString, shown);
        Rig rig;
        rig.c().showTextLeftOnClipboard(text, u"El foco pasó a otro programa."_s);
        QCOMPARE(rig.c().statusItem().lastMessage(),
                 u"El texto está en el portapapeles\n«%1» El foco pasó a otro programa. Pégalo con Ctrl+V donde quieras."_s.arg(shown));
    }

    // A dictation folder untouched for an hour goes to the Trash, unless it is in use.
    void expiredRecordingsGoToTheTrash_data()
    {
        QTest::addColumn<QString>("item");     // what lies in Recordings
        QTest::addColumn<int>("minutesOld");   // age of the item and everything in it
        QTest::addColumn<bool>("trashed");
        QTest::newRow("kept recording, 59 min") << "folder" << 59 << false;
        QTest::newRow("kept recording, 60 min") << "folder" << 60 << true;
        QTest::newRow("empty folder, by its own date") << "empty" << 90 << true;
        QTest::newRow("one fresh file keeps it") << "fresh-segment" << 90 << false;
        QTest::newRow("plain file") << "file" << 90 << false;
        QTest::newRow("hidden folder") << "hidden" << 90 << false;
        QTest::newRow("the dictation being recorded") << "recording" << 90 << false;
        QTest::newRow("the dictation being transcribed") << "transcribing" << 90 << false;
    }

    void expiredRecordingsGoToTheTrash()
    {
        QFETCH(QString, item);
        QFETCH(int, minutesOld);
        QFETCH(bool, trashed);
        Rig rig;
        QString path = AppStorage::recordingsRootURL() + (item == u"hidden" ? u"/.old"_s : u"/2026-12-06_08-00-00_0A1B2C3D"_s);
        if (item == u"recording" || item == u"transcribing") {
            QVERIFY(rig.reach(item));
            path = rig.c().recordingFolder().isEmpty() ? rig.subsystems.transcription->transcribedFolder : rig.c().recordingFolder();
        } else if (item == u"file") {
            QDir().mkpath(AppStorage::recordingsRootURL());
            path += u".wav"_s;
            QVERIFY(QFile(path).open(QIODevice::WriteOnly));
        } else {
            QVERIFY(QDir().mkpath(path));
            if (item != u"empty")
                QVERIFY(writeToneWav(path + u"/segment-001.wav"_s, 0.1));
        }
        const timespec old[2] = {{::time(nullptr) - 60 * minutesOld - 1, 0}, {::time(nullptr) - 60 * minutesOld - 1, 0}};
        const auto age = [&old](const QString &entry) { return ::utimensat(AT_FDCWD, QFile::encodeName(entry).constData(), old, 0) == 0; };
        QDirIterator entries(path, QDir::AllEntries | QDir::NoDotAndDotDot);
        while (entries.hasNext())
            QVERIFY(age(entries.next()));
        if (item == u"fresh-segment")
            QVERIFY(writeToneWav(path + u"/segment-002.wav"_s, 0.1));
        QVERIFY(age(path));

        rig.c().cleanupExpiredRecordingFolders();
        QCOMPARE(!QFileInfo::exists(path), trashed);
        QCOMPARE(QFileInfo::exists(rig.home.filePath(u"Trash/files/"_s) + QFileInfo(path).fileName()), trashed);
        QCOMPARE(QFileInfo::exists(rig.home.filePath(u"Trash/info/%1.trashinfo"_s.arg(QFileInfo(path).fileName()))), trashed);
    }

    // Launch in its order; a copy started in this one's place (installed or updated) starts nothing.
    void launchRunsInOrder_data()
    {
        QTest::addColumn<QString>("replacedBy");
        QTest::addColumn<QStringList>("calls");
        const QStringList order{u"installer.install"_s, u"updater.apply-staged"_s, u"updater.start"_s, u"volume.crash-restore"_s,
                                u"hotkeys.install"_s, u"hotkeys.register"_s, u"transcription.start"_s};
        QTest::newRow("launch") << QString() << order;
        QTest::newRow("installed copy starts instead") << u"installer"_s << order.mid(0, 1);
        QTest::newRow("staged update starts instead") << u"updater"_s << order.mid(0, 2);
    }

    void launchRunsInOrder()
    {
        QFETCH(QString, replacedBy);
        QFETCH(QStringList, calls);
        Rig rig;
        rig.subsystems.selfInstaller->relaunches = replacedBy == u"installer";
        rig.subsystems.autoUpdater->appliesStagedUpdate = replacedBy == u"updater";
        rig.c().applicationDidFinishLaunching();
        QStringList seen = rig.subsystems.log.calls;
        seen.removeIf([&calls](const QString &call) { return !calls.contains(call); });
        QCOMPARE(seen, calls);
        QCOMPARE(QFile::exists(RuntimeStateFile::path()), replacedBy.isEmpty());
        if (replacedBy.isEmpty()) { // the updater may restart Murmex only while nothing is dictated
            QVERIFY(rig.subsystems.autoUpdater->isSafeToRestart());
            QVERIFY(rig.reach(u"recording"_s) && !rig.subsystems.autoUpdater->isSafeToRestart());
            QTRY_VERIFY_WITH_TIMEOUT(rig.subsystems.log.calls.contains(u"updater.acknowledge"_s), settleTimeout);
        }
    }

    // The menu in each situation: the behaviour's ten entries in order, then Murmex's own.
    void menuShowsStateAndChoices_data()
    {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<QStringList>("changed"); // lines that differ from the menu at launch, "old => new"
        QTest::newRow("launch") << u"launch"_s << QStringList();
        for (const char *state : {"starting", "recording", "transcribing"}) // the dictation's own folder is not a kept one
            QTest::newRow(state) << QString::fromLatin1(state) << QStringList();
        QTest::newRow("Inglés, Permitir, push-to-talk")
            << u"choices"_s
            << QStringList{u"  Español [x] =>   Español [ ]"_s, u"  Inglés [ ] =>   Inglés [x]"_s, u"Diccionario de Español… => Diccionario de Inglés…"_s,
                           u"  No grabar [x] =>   No grabar [ ]"_s, u"  Permitir [ ] =>   Permitir [x]"_s,
                           u"Mantener pulsado para hablar [ ] => Mantener pulsado para hablar [x]"_s};
        QTest::newRow("a dictation delivered, engine without a model")
            << u"delivered"_s
            << QStringList{u"Motor de voz: listo (off) => Motor de voz: falta el modelo (off)\nCómo instalar el motor de voz…"_s,
                           u"Grabaciones conservadas => Dictados recientes\n  hola && adiós, esto es un dictado bastant…\nGrabaciones conservadas"_s};
    }

    void menuShowsStateAndChoices()
    {
        QFETCH(QString, situation);
        QFETCH(QStringList, changed);
        Rig rig;
        // One kept dictation from earlier; the menu lists it in every situation.
        const QString kept = AppStorage::recordingsRootURL() + u"/2026-12-06_08-00-00_0A1B2C3D"_s;
        QVERIFY(QDir().mkpath(kept) && writeToneWav(kept + u"/segment-001.wav"_s, 1.5));
        rig.c().applicationDidFinishLaunching();
        QStringList expected{u"Murmex — (off)"_s, u"Motor de voz: listo (off)"_s, u"—"_s, u"Atajo…   Ctrl+Alt+Super+D"_s,
                             u"Idioma"_s, u"  Español [x]"_s, u"  Inglés [ ]"_s, u"  Catalán [ ]"_s, u"Diccionario de Español…"_s,
                             u"Sonido del ordenador"_s, u"  No grabar [x]"_s, u"  Permitir [ ]"_s, u"Volumen al grabar…   100 %"_s, u"—"_s,
                             u"Mantener pulsado para hablar [ ]"_s, u"Abrir al iniciar sesión [ ]"_s, u"Grabaciones conservadas"_s,
                             u"  "_s + menuTitle(keptRecordings(AppStorage::recordingsRootURL(), {}).value(0)), u"—"_s,
                             u"Más proyectos de Tarvo"_s, u"Cerrar el Murmex"_s};
        if (situation == u"starting" || situation == u"recording" || situation == u"transcribing") {
            QVERIFY(rig.reach(situation));
        } else if (situation == u"choices") {
            for (const QString &title : {u"Inglés"_s, u"Permitir"_s, u"Mantener pulsado para hablar"_s})
                menuItem(rig.c().statusMenu(), title)->trigger();
            QCOMPARE(rig.c().settings().transcriptionLanguage, TranscriptionLanguage::english);
            QCOMPARE(AppSettings::load(*rig.defaults).computerAudioMode, ComputerAudioMode::allow);
            QVERIFY(AppSettings::load(*rig.defaults).pushToTalk);
        } else if (situation == u"delivered") {
            rig.subsystems.transcription->status = EngineStatus::modelMissing;
            rig.subsystems.transcription->host->transcriptionDelivered(u"hola & adiós, esto es un dictado bastante largo"_s);
        }
        emit rig.c().statusMenu()->aboutToShow();
        for (const QString &change : changed) {
            const qsizetype at = expected.indexOf(change.section(u" => "_s, 0, 0));
            QVERIFY2(at >= 0, qPrintable(change));
            expected.remove(at);
            const QStringList replacement = change.section(u" => "_s, 1).split(u'\n');
            for (qsizetype i = 0; i < replacement.size(); ++i)
                expected.insert(at + i, replacement[i]);
        }
        QCOMPARE(menuLines(rig.c().statusMenu()), expected);
    }

    // Push-to-talk: a hold records while held; a tap shorter than 0.3 s is dropped like Esc.
    void pushToTalk_data()
    {
        QTest::addColumn<qint64>("heldMs");
        QTest::addColumn<DictationState>("after");
        QTest::newRow("tap") << qint64(299) << DictationState::idle;
        QTest::newRow("hold") << qint64(300) << DictationState::transcribing;
    }

    void pushToTalk()
    {
        QFETCH(qint64, heldMs);
        QFETCH(DictationState, after);
        Rig rig;
        qint64 now = 1000;
        rig.c().monotonicMilliseconds = [&now] { return now; };
        rig.c().setPushToTalk(true);
        rig.c().dictationHotKeyPressed();
        QVERIFY(QTest::qWaitFor([&] { return rig.state() == DictationState::recording; }, settleTimeout));
        QVERIFY(rig.speak());
        now += heldMs;
        rig.c().dictationHotKeyReleased();
        QVERIFY(rig.settle());
        QCOMPARE(rig.state(), after);
        QCOMPARE(rig.recordingFolders().size(), after == DictationState::idle ? 0 : 1);
    }

    // A dictation cut short by the end of an earlier run is offered once at the next launch.
    void interruptedDictationIsOffered_data()
    {
        QTest::addColumn<QString>("leftState");
        QTest::addColumn<int>("answer"); // 0 Transcribir, 1 Mostrar grabación, 2 Más tarde
        QTest::addColumn<QString>("outcome");
        QTest::newRow("recording, Transcribir") << u"recording"_s << 0 << u"transcribe.kept"_s;
        QTest::newRow("transcribing, Mostrar grabación") << u"transcribing"_s << 1 << u"revealed"_s;
        QTest::newRow("recording, Más tarde") << u"recording"_s << 2 << u"kept"_s;
        QTest::newRow("idle: nothing was interrupted") << u"idle"_s << 0 << u"no alert"_s;
    }

    void interruptedDictationIsOffered()
    {
        QFETCH(QString, leftState);
        QFETCH(int, answer);
        QFETCH(QString, outcome);
        Rig rig;
        const QString name = u"2026-12-06_08-00-00_0A1B2C3D"_s;
        const QString folder = AppStorage::recordingsRootURL() + u'/' + name;
        QVERIFY(QDir().mkpath(folder) && writeToneWav(folder + u"/segment-001.wav"_s, 0.5));
        QFile state(RuntimeStateFile::path());
        QVERIFY(state.open(QIODevice::WriteOnly));
        state.write(u"{\"pid\":%1,\"state\":\"%2\",\"folder\":\"%3\"}"_s.arg(QCoreApplication::applicationPid() + 1).arg(leftState, name).toUtf8());
        state.close();
        rig.fake.alerts.answer = answer;

        rig.c().applicationDidFinishLaunching();
        QTRY_COMPARE_WITH_TIMEOUT(rig.alertMessages().size(), outcome == u"no alert" ? 0 : 1, settleTimeout);
        QCoreApplication::processEvents();
        if (outcome == u"no alert")
            return;
        QCOMPARE(rig.alertMessages(), QStringList{u"Se conservó un dictado interrumpido"_s});
        QCOMPARE(rig.fake.alerts.shown.first().buttons, (QStringList{u"Transcribir"_s, u"Mostrar grabación"_s, u"Más tarde"_s}));
        QCOMPARE(rig.subsystems.log.count(u"transcribe.kept"_s), outcome == u"transcribe.kept" ? 1 : 0);
        QCOMPARE(rig.fake.shell.revealed, outcome == u"revealed" ? QStringList{folder} : QStringList());
        QVERIFY(QFileInfo::exists(folder));
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
            QVERIFY(rig.reach(u"recording"_s));
        }
        Log::setSink({});
        StartupTrace::setEnabled(false);
        QCOMPARE(!lines.filter(QRegularExpression(u"^MURMEX_STARTUP "_s)).isEmpty(), traced);
    }
};

QTEST_MAIN(DictationControllerTest)
#include "DictationControllerTest.moc"
