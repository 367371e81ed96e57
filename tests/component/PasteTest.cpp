// Pasting a transcript into another program: the paste and reveal sequence against recording
// fakes, and the real XTEST keystrokes into murmex-target on the headless desktop.

#include "FakePlatform.h"
#include "insertion/CaretReveal.h"
#include "insertion/PasteAtCursor.h"
#include "platform/HeldHotKeys.h"
#include "platform/KeySynthesizer.h"
#include "platform/linux/X11FrontmostApplication.h"
#include "platform/linux/X11HotKeys.h"
#include "platform/linux/X11KeySynthesizer.h"

#include <QClipboard>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QPointer>
#include <QProcess>
#include <QSignalSpy>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace Qt::Literals::StringLiterals;

namespace {

const QString transcript = QStringLiteral("Hola, qué tal — ñandú");

QString describe(std::optional<qint64> processId)
{
    return processId ? QString::number(*processId) : u"focus"_s;
}

// What the paste logic asked of the system, in order, with the time of each request.
struct Journal {
    QStringList events;
    QList<qint64> times;
    QElapsedTimer clock;

    Journal() { clock.start(); }
    void add(const QString &event)
    {
        events.append(event);
        times.append(clock.elapsed());
    }
    qint64 timeOf(const QString &event, int occurrence) const
    {
        for (int index = 0; index < events.size(); ++index)
            if (events.at(index) == event && occurrence-- == 0)
                return times.at(index);
        return -1;
    }
};

class RecordingKeys final : public KeySynthesizer {
public:
    explicit RecordingKeys(Journal &journal) : journal(journal) {}
    bool trusted() override { return isTrusted; }
    void promptForTrust() override { journal.add(u"prompt"_s); }
    PasteKeys pasteKeys(std::optional<qint64>) override { return keys; }
    Delivery postPaste(std::optional<qint64> target, PasteKeys keys) override
    {
        journal.add(u"paste "_s + describe(target) + (keys == PasteKeys::controlShiftV ? u" ctrl+shift+v"_s : QString()));
        if (afterPaste)
            afterPaste();
        return delivery;
    }
    void postNudge(std::optional<qint64> target) override { journal.add(u"nudge "_s + describe(target)); }
    void releaseHeldModifiers() override
    {
        if (const auto hook = std::exchange(duringModifierWait, nullptr))
            hook();
    }

    Journal &journal;
    std::function<void()> duringModifierWait;
    std::function<void()> afterPaste;
    bool isTrusted = true;
    PasteKeys keys = PasteKeys::controlV;
    Delivery delivery = Delivery::posted;
};

// A hot key that the test holds and lets go.
class FakeHeldHotKeys final : public HeldHotKeys {
public:
    bool isHotKeyHeld() const override { return held; }
    void whenHotKeysReleased(QObject *context, std::function<void()> released) override
    {
        waiters.append({context, std::move(released)});
        if (!held)
            release();
    }
    void release()
    {
        held = false;
        for (auto &[context, released] : std::exchange(waiters, {}))
            QTimer::singleShot(0, context, released);
    }
    bool held = false;
    QList<std::pair<QPointer<QObject>, std::function<void()>>> waiters;
};

class RecordingRevealer final : public CaretRevealer {
public:
    explicit RecordingRevealer(Journal &journal) : journal(journal) {}
    void revealCaret(std::optional<qint64> target, quint64 sequence, std::function<void(bool)> completion) override
    {
        journal.add(u"reveal %1 #%2"_s.arg(describe(target)).arg(sequence));
        QTimer::singleShot(0, [this, completion] { completion(answer); });
    }

    Journal &journal;
    bool answer = true;
};

// How the fakes behave on one paste's road.
enum class Held { no, releasedAfterTheText, pastTheLimit };
// Where the focus goes after the dictation started in the target window.
enum class Focus { stays, otherWindow, movesDuringModifierWait, movesAfterThePaste, windowIdOfAnotherProcess, noWindowCaptured };
struct Road {
    KeySynthesizer::PasteKeys keys = KeySynthesizer::PasteKeys::controlV;
    KeySynthesizer::Delivery delivery = KeySynthesizer::Delivery::posted;
    bool trusted = true;
    Held held = Held::no;
    Focus focus = Focus::stays;
    bool stillCurrent = true; // the reveal passes' answer
    bool secondPaste = false; // another paste follows the first one's completion
};

// The paste logic against the recording fakes: alerts, completions and texts left on the clipboard
// go into the journal too.
struct FakeRoad {
    explicit FakeRoad(const Road &road)
    {
        keys.isTrusted = road.trusted;
        keys.keys = road.keys;
        keys.delivery = road.delivery;
        revealer.answer = road.stillCurrent;
        heldHotKeys.held = road.held != Held::no;
        frontmost.pid.reset(); // the windows compare by id alone, whichever process a paste names
        const auto moveFocus = [this] { frontmost.window = 0x3c00001; };
        switch (road.focus) {
        case Focus::stays: break;
        case Focus::otherWindow:
        case Focus::noWindowCaptured: moveFocus(); break;
        case Focus::movesDuringModifierWait: keys.duringModifierWait = moveFocus; break;
        case Focus::movesAfterThePaste: keys.afterPaste = moveFocus; break;
        case Focus::windowIdOfAnotherProcess: frontmost.pid = 99; break;
        }
        windowCaptured = road.focus != Focus::noWindowCaptured;
        paste.setHeldHotKeyLimit(std::chrono::milliseconds(road.held == Held::pastTheLimit ? 200 : 60000));
        QObject::connect(&paste, &PasteAtCursor::textLeftOnClipboard,
                         [this](const QString &text, const QString &reason) { journal.add(u"left on clipboard: %1 (%2)"_s.arg(reason, text)); });
    }
    void pasteText(const QString &text, qint64 target)
    {
        const InsertionTarget captured = windowCaptured ? InsertionTarget{FakeFrontmostApplication{}.window, target} : InsertionTarget{};
        paste.pasteAtCapturedCursor(text, captured, [this] {
            for (const auto &alert : std::exchange(alerts.shown, {}))
                journal.add(u"alert "_s + alert.message);
            journal.add(u"completion"_s);
        });
    }

    Journal journal;
    RecordingKeys keys{journal};
    RecordingRevealer revealer{journal};
    FakeHeldHotKeys heldHotKeys;
    FakeFrontmostApplication frontmost;
    FakeAlerts alerts;
    RevealState revealState;
    PasteAtCursor paste{keys, heldHotKeys, frontmost, alerts, revealState, revealer};
    bool windowCaptured = true;
};

// A program with a focused text field whose text lands in a file: murmex-target (optionally
// posing as a terminal emulator by its window class, or with a second window "Murmex target 2"
// whose field writes to a file of its own), or a real xterm running `cat`.
class TargetProgram {
public:
    bool start(const QString &kind = {}, bool secondWindow = false)
    {
        if (kind == QLatin1String("xterm")) {
            // Without canonical mode `cat` gets every character at once, with no Enter.
            process.start(QStringLiteral("xterm"), {QStringLiteral("-e"), QStringLiteral("sh"), QStringLiteral("-c"),
                                                    QStringLiteral("stty -icanon -echo; : > \"$0\"; exec cat > \"$0\""), textFile()});
        } else {
            QStringList arguments;
            if (!kind.isEmpty())
                arguments << QStringLiteral("--terminal") << kind;
            if (secondWindow)
                arguments << QStringLiteral("--second-window") << textFile(1);
            process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            process.start(QStringLiteral(MURMEX_TARGET_PROGRAM), arguments << textFile());
        }
        X11FrontmostApplication frontmost;
        return process.waitForStarted(5000) && QTest::qWaitFor([&] {
            return QFile::exists(textFile()) && frontmost.frontmostProcessId() == process.processId();
        }, 10000);
    }
    qint64 processId() const { return process.processId(); }
    // The field of that window has had the keyboard focus: it is ready for keys.
    bool ready(int window) const { return QFile::exists(textFile(window)); }
    QString text(int window = 0) const
    {
        QFile file(textFile(window));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    ~TargetProgram()
    {
        const qint64 processId = process.processId();
        process.kill();
        process.waitForFinished(3000);
        // The next test's window must not lose the focus to this one's late departure.
        X11FrontmostApplication frontmost;
        (void)QTest::qWaitFor([&] { return frontmost.frontmostProcessId() != processId; }, 3000); // best effort
    }

private:
    QString textFile(int window = 0) const { return folder.filePath(window ? QStringLiteral("text2") : QStringLiteral("text")); }
    QTemporaryDir folder;
    QProcess process;
};

struct NoListener final : HotKeyListener {
    void dictationHotKeyPressed() override {}
    void dictationHotKeyReleased() override {}
    void abortHotKeyPressed() override {}
};

int xdotool(const QStringList &arguments)
{
    return QProcess::execute(QStringLiteral("xdotool"), arguments);
}

// Has the window manager give the focus to the window with this title, as a click would; its id,
// or 0 when there is no such window or it could not be activated.
quint32 activateWindow(const QString &title)
{
    QProcess search;
    search.start(QStringLiteral("xdotool"), {u"search"_s, u"--sync"_s, u"--name"_s, u"^%1$"_s.arg(title)});
    if (!search.waitForFinished(10000) || search.exitCode() != 0)
        return 0;
    const quint32 window = search.readAllStandardOutput().split('\n').value(0).toUInt();
    return window && xdotool({u"windowactivate"_s, u"--sync"_s, QString::number(window)}) == 0 ? window : 0;
}

// The paste logic with the real XTEST keys and focus, and no caret lookup.
struct XPaste {
    explicit XPaste(HeldHotKeys &heldHotKeys) : paste(keys, heldHotKeys, frontmost, alerts, revealState, revealer) {}
    void operator()(const QString &text, const InsertionTarget &target)
    {
        paste.pasteAtCapturedCursor(text, target, [this] { ++completions; });
    }

    X11KeySynthesizer keys;
    X11FrontmostApplication frontmost;
    FakeAlerts alerts;
    RevealState revealState;
    UnavailableCaretRevealer revealer{revealState};
    PasteAtCursor paste;
    int completions = 0;
};

} // namespace

Q_DECLARE_METATYPE(Road)

class PasteTest : public QObject {
    Q_OBJECT

private slots:
    // Keys wait for the hot key's release and are posted from the event loop; two reveal passes
    // follow a Ctrl+V, timed from the completion, the first nudging the caret while still current.
    // Where the text cannot be pasted it stays on the clipboard, the user is told why, and no pass
    // follows.
    void pasteRoad_data()
    {
        QTest::addColumn<Road>("road");
        QTest::addColumn<QStringList>("expected");
        using Keys = KeySynthesizer::PasteKeys;
        const QString left = u"left on clipboard: %1 (%2)"_s;
        QTest::newRow("first pass nudges while still current") << Road{} << QStringList{"paste 4242", "completion", "reveal 4242 #1", "nudge 4242", "reveal 4242 #1"};
        QTest::newRow("no nudge after an overtaken pass") << Road{.stillCurrent = false} << QStringList{"paste 4242", "completion", "reveal 4242 #1", "reveal 4242 #1"};
        QTest::newRow("a second paste cancels the first one's passes")
            << Road{.secondPaste = true} << QStringList{"paste 4242", "completion", "paste 77", "completion", "reveal 77 #2", "nudge 77", "reveal 77 #2"};
        QTest::newRow("terminal emulator: no nudge, no write-back") << Road{.keys = Keys::controlShiftV} << QStringList{"paste 4242 ctrl+shift+v", "completion"};
        QTest::newRow("focus moved to another program")
            << Road{.delivery = KeySynthesizer::Delivery::focusElsewhere}
            << QStringList{"paste 4242", left.arg("El foco pasó a otro programa.", transcript), "completion"};
        const QStringList elsewhere{left.arg("El foco pasó a otra ventana.", transcript), "completion"};
        QTest::newRow("focus moved to another window") << Road{.focus = Focus::otherWindow} << elsewhere;
        QTest::newRow("focus moved while the modifiers were let go") << Road{.focus = Focus::movesDuringModifierWait} << elsewhere;
        QTest::newRow("the window id now names another process") << Road{.focus = Focus::windowIdOfAnotherProcess} << elsewhere;
        QTest::newRow("focus moved after the paste: no nudge")
            << Road{.focus = Focus::movesAfterThePaste} << QStringList{"paste 4242", "completion", "reveal 4242 #1", "reveal 4242 #1"};
        QTest::newRow("no window had the focus at the start: the focused one gets the text")
            << Road{.focus = Focus::noWindowCaptured} << QStringList{"paste focus", "completion", "reveal focus #1", "nudge focus", "reveal focus #1"};
        QTest::newRow("hot key let go after the text was ready")
            << Road{.keys = Keys::controlShiftV, .held = Held::releasedAfterTheText} << QStringList{"released", "paste 4242 ctrl+shift+v", "completion"};
        QTest::newRow("hot key held past the limit") << Road{.held = Held::pastTheLimit} << QStringList{left.arg("El atajo seguía pulsado.", transcript), "completion"};
        QTest::newRow("untrusted: an alert and no keys") << Road{.trusted = false} << QStringList{"prompt", "alert Texto copiado", "completion"};
    }

    void pasteRoad()
    {
        QFETCH(Road, road);
        QFETCH(QStringList, expected);
        FakeRoad fake(road);
        QGuiApplication::clipboard()->setText(u"lo que había antes"_s);

        fake.pasteText(transcript, 4242);
        QVERIFY2(fake.journal.events.filter(u"paste"_s).isEmpty(), "the keystroke is posted from the event loop, not within the call");
        QCOMPARE(QGuiApplication::clipboard()->text(), transcript);
        if (road.secondPaste) {
            QTRY_COMPARE(fake.journal.events.size(), 2);
            fake.pasteText(u"otra"_s, 77);
        }
        if (road.held == Held::releasedAfterTheText) {
            // Nothing may be posted into the grab, however long the key stays down.
            QTRY_COMPARE(fake.heldHotKeys.waiters.size(), 1);
            fake.journal.add(u"released"_s);
            fake.heldHotKeys.release();
        }
        QTRY_COMPARE_WITH_TIMEOUT(fake.journal.events, expected, 3000);

        const QString reveal = expected.last();
        if (!reveal.startsWith(u"reveal")) {
            // Absence of the passes: they would have come by now.
            QVERIFY(!QTest::qWaitFor([&] { return fake.journal.events != expected; }, int(PasteAtCursor::secondRevealDelay.count()) + 100));
            return;
        }
        // Both passes are timed from the completion, not one from the other.
        const qint64 completed = fake.journal.timeOf(u"completion"_s, road.secondPaste ? 1 : 0);
        const qint64 first = fake.journal.timeOf(reveal, 0) - completed;
        const qint64 second = fake.journal.timeOf(reveal, 1) - completed;
        QVERIFY2(first >= 155 && second >= 475 && second - first < 440, qPrintable(u"passes at %1 and %2 ms"_s.arg(first).arg(second)));
    }

    void revealAnswersWhetherStillCurrent_data()
    {
        QTest::addColumn<QString>("meanwhile");
        QTest::addColumn<bool>("expected");
        QTest::newRow("nothing happened") << "" << true;
        QTest::newRow("a later paste restarted the sequence") << "restart" << false;
        QTest::newRow("the indicator cancelled the sequence") << "cancel" << false;
    }

    void revealAnswersWhetherStillCurrent()
    {
        QFETCH(QString, meanwhile);
        QFETCH(bool, expected);
        RevealState revealState;
        UnavailableCaretRevealer revealer(revealState);
        std::optional<bool> answer;
        revealer.revealCaret(4242, revealState.restart(), [&](bool stillCurrent) { answer = stillCurrent; });
        QVERIFY(!answer);
        if (meanwhile == u"restart")
            revealState.restart();
        else if (meanwhile == u"cancel")
            revealState.cancelCaretRevealSequence();
        QTRY_VERIFY(answer.has_value());
        QCOMPARE(*answer, expected);
    }

    void pastesIntoTheFocusedWindow_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<bool>("withTarget");
        QTest::addColumn<QString>("heldKeys");
        QTest::newRow("into the target's window") << "" << true << "";
        QTest::newRow("no target: the focused window") << "" << false << "";
        QTest::newRow("modifiers still held down") << "" << true << "ctrl+alt+super";
        // The shortcut's own key keeps Murmex's grab active: the paste must wait for its release.
        QTest::newRow("the dictation shortcut still held down") << "" << true << "ctrl+alt+super+d";
        QTest::newRow("terminal emulator: Ctrl+Shift+V") << "kitty" << true << "";
        QTest::newRow("xterm: Shift+Insert from the primary selection") << "xterm" << true << "";
    }

    void pastesIntoTheFocusedWindow()
    {
        QFETCH(QString, program);
        QFETCH(bool, withTarget);
        QFETCH(QString, heldKeys);

        TargetProgram target;
        QVERIFY(target.start(program));
        X11HotKeys hotKeys;
        NoListener listener;
        hotKeys.installHandler(listener);
        QCOMPARE(hotKeys.registerDictationHotKey(Shortcut::defaultShortcut()), HotKeys::Registration::registered);
        const auto releaseKeys = qScopeGuard([&] {
            if (!heldKeys.isEmpty())
                xdotool({QStringLiteral("keyup"), heldKeys});
        });
        if (!heldKeys.isEmpty())
            QCOMPARE(xdotool({QStringLiteral("keydown"), heldKeys}), 0);
        const bool shortcutHeld = heldKeys.endsWith(QLatin1String("+d"));
        if (shortcutHeld)
            QTRY_VERIFY(hotKeys.isHotKeyHeld());

        XPaste paste(hotKeys);
        paste(transcript, withTarget ? paste.frontmost.focusedWindow() : InsertionTarget{});
        if (shortcutHeld) {
            QVERIFY(!QTest::qWaitFor([&] { return paste.completions > 0; }, 300));
            QCOMPARE(xdotool({u"keyup"_s, heldKeys}), 0);
        }
        QTRY_COMPARE_WITH_TIMEOUT(target.text(), transcript, 5000);
        QCOMPARE(paste.completions, 1);
        QVERIFY(paste.alerts.shown.isEmpty());
    }

    // The target window is the one focused when the dictation started, read from the real focus; two
    // top-level windows of one process, as in a terminal server or a browser.
    void keysStayInTheTargetWindow_data()
    {
        QTest::addColumn<int>("focusedAtPaste"); // 0: the target window, 1: the process's other one
        QTest::addColumn<bool>("foreignProcess"); // the target window's id, but named with another process
        QTest::newRow("the target window: the text arrives") << 0 << false;
        QTest::newRow("another window of the target's process") << 1 << false;
        QTest::newRow("the target's window id, another process") << 0 << true;
    }

    void keysStayInTheTargetWindow()
    {
        QFETCH(int, focusedAtPaste);
        QFETCH(bool, foreignProcess);
        TargetProgram target;
        QVERIFY(target.start({}, true));
        FakeHeldHotKeys heldHotKeys;
        XPaste paste(heldHotKeys);
        const quint32 first = activateWindow(u"Murmex target"_s);
        QVERIFY(first);
        QTRY_VERIFY(target.ready(0) && paste.frontmost.focusedWindow().window == first);
        InsertionTarget captured = paste.frontmost.focusedWindow();
        QCOMPARE(captured.processId, target.processId());
        if (foreignProcess)
            captured.processId = QCoreApplication::applicationPid();
        if (focusedAtPaste == 1) {
            const quint32 second = activateWindow(u"Murmex target 2"_s);
            QVERIFY(second && second != first);
            QTRY_VERIFY(target.ready(1) && paste.frontmost.focusedWindow().window == second);
        }

        QSignalSpy leftOnClipboard(&paste.paste, &PasteAtCursor::textLeftOnClipboard);
        paste(transcript, captured);
        QTRY_COMPARE(paste.completions, 1);
        if (focusedAtPaste == 0 && !foreignProcess) {
            QTRY_COMPARE_WITH_TIMEOUT(target.text(0), transcript, 5000);
            QCOMPARE(leftOnClipboard.size(), 0);
            return;
        }
        QCOMPARE(leftOnClipboard.size(), 1);
        QCOMPARE(leftOnClipboard.first().at(1).toString(), u"El foco pasó a otra ventana."_s);
        QCOMPARE(QGuiApplication::clipboard()->text(), transcript);
        // Had the keys gone out, the focused field would hold the transcript too (or the next text twice).
        paste(u"segundo"_s, paste.frontmost.focusedWindow());
        QTRY_COMPARE_WITH_TIMEOUT(target.text(focusedAtPaste), u"segundo"_s, 5000);
        QCOMPARE(target.text(1 - focusedAtPaste), QString());
    }

    void pasteKeysByProgramName_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<KeySynthesizer::PasteKeys>("keys");
        using Keys = KeySynthesizer::PasteKeys;
        QTest::newRow("xterm pastes the primary selection") << QStringList{"xterm", "XTerm"} << Keys::shiftInsert;
        QTest::newRow("program name only") << QStringList{"murmex-target", "gnome-terminal-server"} << Keys::controlShiftV;
        QTest::newRow("window class, any case") << QStringList{"Ghostty", "com.mitchellh.ghostty"} << Keys::controlShiftV;
        QTest::newRow("a text editor") << QStringList{"gedit", "Gedit", "gedit"} << Keys::controlV;
        QTest::newRow("a terminal's name inside another") << QStringList{"footprint", "kitty-cat", "st-editor"} << Keys::controlV;
    }

    void pasteKeysByProgramName()
    {
        QFETCH(QStringList, names);
        QFETCH(KeySynthesizer::PasteKeys, keys);
        QCOMPARE(X11KeySynthesizer::pasteKeysFor(names), keys);
    }
};

QTEST_MAIN(PasteTest)
#include "PasteTest.moc"
