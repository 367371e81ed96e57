// Pasting a transcript into another program: the paste and reveal sequence against recording
// fakes, and the real XTEST keystrokes into murmex-target on the headless desktop.

#include "FakePlatform.h"
#include "insertion/CaretReveal.h"
#include "insertion/PasteAtCursor.h"
#include "platform/HeldHotKeys.h"
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

const QString transcript = u"Hola, qué tal — ñandú"_s;

QString describe(std::optional<qint64> processId) { return processId ? QString::number(*processId) : u"focus"_s; }

// How the fakes behave on one paste's road, and where the focus goes after the dictation started.
enum class Held { no, releasedAfterTheText, pastTheLimit };
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

// The paste logic against fakes of the keys, the held hot key (the test lets it go) and the caret
// reveal. A journal records, with their times, what it asks of them, alerts, completions and texts
// left on the clipboard.
struct FakeRoad final : KeySynthesizer, HeldHotKeys, CaretRevealer {
    explicit FakeRoad(const Road &road) : road(road), held(road.held != Held::no)
    {
        clock.start();
        frontmost.pid.reset(); // the windows compare by id alone, whichever process a paste names
        if (road.focus == Focus::otherWindow || road.focus == Focus::noWindowCaptured)
            moveFocus();
        if (road.focus == Focus::windowIdOfAnotherProcess)
            frontmost.pid = 99;
        paste.setHeldHotKeyLimit(std::chrono::milliseconds(road.held == Held::pastTheLimit ? 200 : 60000));
        QObject::connect(&paste, &PasteAtCursor::textLeftOnClipboard,
                         [this](const QString &text, const QString &reason) { add(u"left on clipboard: %1 (%2)"_s.arg(reason, text)); });
    }
    void pasteText(const QString &text, qint64 target)
    {
        const bool captured = road.focus != Focus::noWindowCaptured;
        paste.pasteAtCapturedCursor(text, captured ? InsertionTarget{FakeFrontmostApplication{}.window, target} : InsertionTarget{}, [this] {
            for (const auto &alert : std::exchange(alerts.shown, {}))
                add(u"alert "_s + alert.message);
            add(u"completion"_s);
        });
    }
    void add(const QString &event)
    {
        events.append(event);
        times.append(clock.elapsed());
    }
    void moveFocus() { frontmost.window = 0x3c00001; }
    void release()
    {
        held = false;
        for (auto &[context, released] : std::exchange(waiters, {}))
            QTimer::singleShot(0, context, released);
    }

    bool trusted() override { return road.trusted; }
    void promptForTrust() override { add(u"prompt"_s); }
    PasteKeys pasteKeys(std::optional<qint64>) override { return road.keys; }
    Delivery postPaste(std::optional<qint64> target, PasteKeys keys) override
    {
        add(u"paste "_s + describe(target) + (keys == PasteKeys::controlShiftV ? u" ctrl+shift+v"_s : QString()));
        if (road.focus == Focus::movesAfterThePaste)
            moveFocus();
        return road.delivery;
    }
    void postNudge(std::optional<qint64> target) override { add(u"nudge "_s + describe(target)); }
    void releaseHeldModifiers() override
    {
        if (road.focus == Focus::movesDuringModifierWait)
            moveFocus();
    }
    bool isHotKeyHeld() const override { return held; }
    void whenHotKeysReleased(QObject *context, std::function<void()> released) override
    {
        waiters.append({context, std::move(released)});
        if (!held)
            release();
    }
    void revealCaret(std::optional<qint64> target, quint64 sequence, std::function<void(bool)> completion) override
    {
        add(u"reveal %1 #%2"_s.arg(describe(target)).arg(sequence));
        QTimer::singleShot(0, &paste, [this, completion] { completion(road.stillCurrent); });
    }

    const Road road;
    QStringList events;
    QList<qint64> times;
    QElapsedTimer clock;
    bool held;
    QList<std::pair<QPointer<QObject>, std::function<void()>>> waiters;
    FakeFrontmostApplication frontmost;
    FakeAlerts alerts;
    RevealState revealState;
    PasteAtCursor paste{*this, *this, frontmost, alerts, revealState, *this};
};

// A program with a focused text field whose text lands in a file: murmex-target (optionally
// posing as a terminal emulator by its window class, or with a second window "Murmex target 2"
// whose field writes to a file of its own), or a real xterm running `cat`.
class TargetProgram {
public:
    bool start(const QString &kind = {}, bool secondWindow = false)
    {
        if (kind == u"xterm") {
            // Without canonical mode `cat` gets every character at once, with no Enter.
            process.start(u"xterm"_s, {u"-e"_s, u"sh"_s, u"-c"_s, u"stty -icanon -echo; : > \"$0\"; exec cat > \"$0\""_s, textFile()});
        } else {
            QStringList arguments;
            if (!kind.isEmpty())
                arguments << u"--terminal"_s << kind;
            if (secondWindow)
                arguments << u"--second-window"_s << textFile(1);
            process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            process.start(QStringLiteral(MURMEX_TARGET_PROGRAM), arguments << textFile());
        }
        return process.waitForStarted(5000)
            && QTest::qWaitFor([&] { return QFile::exists(textFile()) && X11FrontmostApplication().frontmostProcessId() == process.processId(); }, 10000);
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
        // The next test's window must not lose the focus to this one's late departure (best effort).
        (void)QTest::qWaitFor([&] { return X11FrontmostApplication().frontmostProcessId() != processId; }, 3000);
    }

private:
    QString textFile(int window = 0) const { return folder.filePath(window ? u"text2"_s : u"text"_s); }
    QTemporaryDir folder;
    QProcess process;
};

int xdotool(const QStringList &arguments) { return QProcess::execute(u"xdotool"_s, arguments); }

// Has the window manager give the focus to the window with this title, as a click would; its id,
// or 0 when there is no such window or it could not be activated.
quint32 activateWindow(const QString &title)
{
    QProcess xdotool;
    xdotool.start(u"xdotool"_s, {u"search"_s, u"--sync"_s, u"--name"_s, u"^%1$"_s.arg(title), u"windowactivate"_s, u"--sync"_s, u"getactivewindow"_s});
    return xdotool.waitForFinished(10000) && xdotool.exitCode() == 0 ? xdotool.readAllStandardOutput().trimmed().toUInt() : 0;
}

// The paste logic with the real XTEST keys and focus, and no caret lookup.
struct XPaste {
    explicit XPaste(HeldHotKeys &heldHotKeys) : paste(keys, heldHotKeys, frontmost, alerts, revealState, revealer) {}
    void operator()(const QString &text, const InsertionTarget &target) { paste.pasteAtCapturedCursor(text, target, [this] { ++completions; }); }

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
    // Keys wait for the hot key's release and are posted from the event loop; two reveal passes,
    // timed from the completion, follow a Ctrl+V, the first nudging the caret while still current.
    // Text that cannot be pasted stays on the clipboard, the user is told why, and no pass follows.
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
        QVERIFY2(fake.events.filter(u"paste"_s).isEmpty(), "the keystroke is posted from the event loop, not within the call");
        QCOMPARE(QGuiApplication::clipboard()->text(), transcript);
        if (road.secondPaste) {
            QTRY_COMPARE(fake.events.size(), 2);
            fake.pasteText(u"otra"_s, 77);
        }
        if (road.held == Held::releasedAfterTheText) {
            // Nothing may be posted into the grab, however long the key stays down.
            QTRY_COMPARE(fake.waiters.size(), 1);
            fake.add(u"released"_s);
            fake.release();
        }
        QTRY_COMPARE_WITH_TIMEOUT(fake.events, expected, 3000);

        if (!expected.last().startsWith(u"reveal")) {
            // Absence of the passes: they would have come by now.
            QVERIFY(!QTest::qWaitFor([&] { return fake.events != expected; }, int(PasteAtCursor::secondRevealDelay.count()) + 100));
            return;
        }
        // Neither pass comes before its delay, counted from the completion.
        const qsizetype completed = fake.events.lastIndexOf(u"completion"_s);
        QList<qint64> passes;
        for (qsizetype index = completed; index < fake.events.size(); ++index)
            if (fake.events.at(index).startsWith(u"reveal"))
                passes.append(fake.times.at(index) - fake.times.at(completed));
        QVERIFY2(passes.size() == 2 && passes.at(0) >= 155 && passes.at(1) >= 475,
                 qPrintable(u"passes at %1 and %2 ms"_s.arg(passes.value(0)).arg(passes.value(1))));
    }

    void pastesIntoTheFocusedWindow_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<bool>("withTarget");
        QTest::addColumn<QString>("heldKeys");
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
        QCOMPARE(hotKeys.registerDictationHotKey(Shortcut::defaultShortcut()), HotKeys::Registration::registered);
        const auto releaseKeys = qScopeGuard([&] {
            if (!heldKeys.isEmpty())
                xdotool({u"keyup"_s, heldKeys});
        });
        if (!heldKeys.isEmpty())
            QCOMPARE(xdotool({u"keydown"_s, heldKeys}), 0);
        const bool shortcutHeld = heldKeys.endsWith(u"+d");
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

    // The target is the window focused when the dictation started, as the real focus says, among two
    // top-level windows of one process (as in a terminal server). Once the focus has left it, no key
    // goes out and the text waits on the clipboard.
    void keysStayInTheTargetWindow_data()
    {
        QTest::addColumn<bool>("foreignProcess");
        QTest::newRow("another window of the target's process has the focus") << false;
        QTest::newRow("the target's window id, named with another process") << true;
    }

    void keysStayInTheTargetWindow()
    {
        QFETCH(bool, foreignProcess);
        TargetProgram target;
        QVERIFY(target.start({}, true));
        X11HotKeys hotKeys; // none registered, none held
        XPaste paste(hotKeys);
        const quint32 first = activateWindow(u"Murmex target"_s);
        QVERIFY(first);
        QTRY_VERIFY(target.ready(0) && paste.frontmost.focusedWindow().window == first);
        InsertionTarget captured = paste.frontmost.focusedWindow();
        QCOMPARE(captured.processId, target.processId());
        const int focused = foreignProcess ? 0 : 1;
        if (foreignProcess) {
            captured.processId = QCoreApplication::applicationPid();
        } else {
            const quint32 second = activateWindow(u"Murmex target 2"_s);
            QVERIFY(second && second != first);
            QTRY_VERIFY(target.ready(1) && paste.frontmost.focusedWindow().window == second);
        }

        QSignalSpy leftOnClipboard(&paste.paste, &PasteAtCursor::textLeftOnClipboard);
        paste(transcript, captured);
        QTRY_COMPARE(paste.completions, 1);
        QCOMPARE(leftOnClipboard.size(), 1);
        QCOMPARE(leftOnClipboard.first().at(1).toString(), u"El foco pasó a otra ventana."_s);
        QCOMPARE(QGuiApplication::clipboard()->text(), transcript);
        // Had the keys gone out, the focused field would hold the transcript too (or the next text twice).
        paste(u"segundo"_s, paste.frontmost.focusedWindow());
        QTRY_COMPARE_WITH_TIMEOUT(target.text(focused), u"segundo"_s, 5000);
        QCOMPARE(target.text(1 - focused), QString());
    }

    void pasteKeysByProgramName_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<KeySynthesizer::PasteKeys>("keys");
        using Keys = KeySynthesizer::PasteKeys;
        QTest::newRow("xterm pastes the primary selection") << QStringList{"xterm", "XTerm"} << Keys::shiftInsert;
        QTest::newRow("program name only") << QStringList{"murmex-target", "gnome-terminal-server"} << Keys::controlShiftV;
        QTest::newRow("window class, any case") << QStringList{"Ghostty", "com.mitchellh.ghostty"} << Keys::controlShiftV;
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
