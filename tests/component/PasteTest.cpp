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

namespace {

const QString transcript = QStringLiteral("Hola, qué tal — ñandú");

QString describe(std::optional<qint64> processId)
{
    return processId ? QString::number(*processId) : QStringLiteral("focus");
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
    void promptForTrust() override { journal.add(QStringLiteral("prompt")); }
    PasteKeys pasteKeys(std::optional<qint64>) override { return keys; }
    Delivery postPaste(std::optional<qint64> target, PasteKeys keys) override
    {
        journal.add(QStringLiteral("paste ") + describe(target) + (keys == PasteKeys::controlShiftV ? QStringLiteral(" ctrl+shift+v") : QString()));
        return delivery;
    }
    void postNudge(std::optional<qint64> target) override { journal.add(QStringLiteral("nudge ") + describe(target)); }

    Journal &journal;
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
        journal.add(QStringLiteral("reveal %1 #%2").arg(describe(target)).arg(sequence));
        QTimer::singleShot(0, [this, completion] {
            completion(answer);
            ++answered; // after the completion, so that a nudge it posts is already in the journal
        });
    }

    Journal &journal;
    bool answer = true;
    int answered = 0;
};

// A program with a focused text field whose text lands in a file: murmex-target (optionally
// posing as a terminal emulator by its window class), or a real xterm running `cat`.
class TargetProgram {
public:
    bool start(const QString &kind = {})
    {
        if (kind == QLatin1String("xterm")) {
            // Without canonical mode `cat` gets every character at once, with no Enter.
            process.start(QStringLiteral("xterm"), {QStringLiteral("-e"), QStringLiteral("sh"), QStringLiteral("-c"),
                                                    QStringLiteral("stty -icanon -echo; : > \"$0\"; exec cat > \"$0\""), textFile()});
        } else {
            QStringList arguments;
            if (!kind.isEmpty())
                arguments << QStringLiteral("--terminal") << kind;
            process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            process.start(QStringLiteral(MURMEX_TARGET_PROGRAM), arguments << textFile());
        }
        X11FrontmostApplication frontmost;
        return process.waitForStarted(5000) && QTest::qWaitFor([&] {
            return QFile::exists(textFile()) && frontmost.frontmostProcessId() == process.processId();
        }, 10000);
    }
    qint64 processId() const { return process.processId(); }
    QString text() const
    {
        QFile file(textFile());
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
    QString textFile() const { return folder.filePath(QStringLiteral("text")); }
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

} // namespace

class PasteTest : public QObject {
    Q_OBJECT

private slots:
    void revealPassesFollowThePaste_data()
    {
        QTest::addColumn<bool>("revealAnswer");
        QTest::addColumn<bool>("withTarget");
        QTest::addColumn<bool>("secondPaste");
        QTest::addColumn<QStringList>("expected");

        QTest::newRow("first pass nudges while still current")
            << true << true << false << QStringList{"paste 4242", "completion", "reveal 4242 #1", "nudge 4242", "reveal 4242 #1"};
        QTest::newRow("no nudge after an overtaken pass")
            << false << true << false << QStringList{"paste 4242", "completion", "reveal 4242 #1", "reveal 4242 #1"};
        QTest::newRow("keyboard focus without a target")
            << true << false << false << QStringList{"paste focus", "completion", "reveal focus #1", "nudge focus", "reveal focus #1"};
        QTest::newRow("a second paste cancels the first one's passes")
            << true << true << true << QStringList{"paste 4242", "completion", "paste 77", "completion", "reveal 77 #2", "nudge 77", "reveal 77 #2"};
    }

    void revealPassesFollowThePaste()
    {
        QFETCH(bool, revealAnswer);
        QFETCH(bool, withTarget);
        QFETCH(bool, secondPaste);
        QFETCH(QStringList, expected);

        Journal journal;
        RecordingKeys keys(journal);
        RecordingRevealer revealer(journal);
        revealer.answer = revealAnswer;
        FakeHeldHotKeys heldHotKeys;
        FakeAlerts alerts;
        RevealState revealState;
        PasteAtCursor paste(keys, heldHotKeys, alerts, revealState, revealer);

        const auto target = withTarget ? std::optional<qint64>(4242) : std::nullopt;
        paste.pasteAtCapturedCursor(transcript, target, [&] { journal.add(QStringLiteral("completion")); });
        QVERIFY2(journal.events.isEmpty(), "the keystroke is posted from the event loop, not within the call");
        QCOMPARE(QGuiApplication::clipboard()->text(), transcript);
        if (secondPaste) {
            QTRY_COMPARE(journal.events.size(), 2);
            paste.pasteAtCapturedCursor(QStringLiteral("otra"), 77, [&] { journal.add(QStringLiteral("completion")); });
        }

        QTRY_COMPARE_WITH_TIMEOUT(revealer.answered, 2, 3000);
        QCOMPARE(journal.events, expected);

        const QString reveal = expected.last();
        const qint64 completed = journal.timeOf(QStringLiteral("completion"), secondPaste ? 1 : 0);
        const qint64 first = journal.timeOf(reveal, 0) - completed;
        const qint64 second = journal.timeOf(reveal, 1) - completed;
        QVERIFY2(first >= 155, qPrintable(QString::number(first)));
        QVERIFY2(second >= 475, qPrintable(QString::number(second)));
        QVERIFY2(second - first < 440, "both passes are timed from the completion");
    }

    // Keys wait for the hot key's release; where they cannot be pasted the text stays on the
    // clipboard, the user is told why, and no pass follows.
    void pasteWithoutRevealPasses_data()
    {
        QTest::addColumn<KeySynthesizer::PasteKeys>("pasteKeys");
        QTest::addColumn<KeySynthesizer::Delivery>("delivery");
        QTest::addColumn<bool>("hotKeyHeld");
        QTest::addColumn<bool>("releasedInTime");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<QString>("reasonLeftOnClipboard");

        using Keys = KeySynthesizer::PasteKeys;
        using Delivery = KeySynthesizer::Delivery;
        QTest::newRow("terminal emulator: no nudge, no write-back")
            << Keys::controlShiftV << Delivery::posted << false << true << QStringList{"paste 4242 ctrl+shift+v", "completion"} << "";
        QTest::newRow("focus moved to another program")
            << Keys::controlV << Delivery::focusElsewhere << false << true << QStringList{"paste 4242", "completion"}
            << "El foco pasó a otro programa.";
        QTest::newRow("hot key let go after the text was ready")
            << Keys::controlShiftV << Delivery::posted << true << true << QStringList{"released", "paste 4242 ctrl+shift+v", "completion"} << "";
        QTest::newRow("hot key held past the limit")
            << Keys::controlV << Delivery::posted << true << false << QStringList{"completion"} << "El atajo seguía pulsado.";
    }

    void pasteWithoutRevealPasses()
    {
        QFETCH(KeySynthesizer::PasteKeys, pasteKeys);
        QFETCH(KeySynthesizer::Delivery, delivery);
        QFETCH(bool, hotKeyHeld);
        QFETCH(bool, releasedInTime);
        QFETCH(QStringList, expected);
        QFETCH(QString, reasonLeftOnClipboard);

        Journal journal;
        RecordingKeys keys(journal);
        keys.keys = pasteKeys;
        keys.delivery = delivery;
        RecordingRevealer revealer(journal);
        FakeHeldHotKeys heldHotKeys;
        heldHotKeys.held = hotKeyHeld;
        FakeAlerts alerts;
        RevealState revealState;
        PasteAtCursor paste(keys, heldHotKeys, alerts, revealState, revealer);
        paste.setHeldHotKeyLimit(std::chrono::milliseconds(releasedInTime ? 60000 : 200));
        QSignalSpy leftOnClipboard(&paste, &PasteAtCursor::textLeftOnClipboard);

        paste.pasteAtCapturedCursor(transcript, 4242, [&] { journal.add(QStringLiteral("completion")); });
        if (hotKeyHeld && releasedInTime) {
            // Nothing may be posted into the grab, however long the key stays down.
            QTRY_COMPARE(heldHotKeys.waiters.size(), 1);
            journal.add(QStringLiteral("released"));
            heldHotKeys.release();
        }
        QTRY_VERIFY_WITH_TIMEOUT(journal.events.contains(QStringLiteral("completion")), 3000);
        // Absence of the passes: they would have come by now.
        QTest::qWait(int(PasteAtCursor::secondRevealDelay.count()) + 100);
        QCOMPARE(journal.events, expected);
        QCOMPARE(revealer.answered, 0);
        QCOMPARE(leftOnClipboard.size(), reasonLeftOnClipboard.isEmpty() ? 0 : 1);
        if (!reasonLeftOnClipboard.isEmpty())
            QCOMPARE(leftOnClipboard.first(), (QVariantList{transcript, reasonLeftOnClipboard}));
        QCOMPARE(QGuiApplication::clipboard()->text(), transcript);
    }

    void untrustedLeavesTheTextOnTheClipboard()
    {
        Journal journal;
        RecordingKeys keys(journal);
        keys.isTrusted = false;
        RecordingRevealer revealer(journal);
        FakeHeldHotKeys heldHotKeys;
        FakeAlerts alerts;
        RevealState revealState;
        PasteAtCursor paste(keys, heldHotKeys, alerts, revealState, revealer);
        QGuiApplication::clipboard()->setText(QStringLiteral("lo que había antes"));

        QList<qsizetype> alertsAtCompletion;
        paste.pasteAtCapturedCursor(transcript, 4242, [&] { alertsAtCompletion.append(alerts.shown.size()); });

        QTRY_COMPARE(alertsAtCompletion, QList<qsizetype>{1});
        QCOMPARE(QGuiApplication::clipboard()->text(), transcript);
        QCOMPARE(alerts.shown.first().message, QStringLiteral("Texto copiado"));
        QCOMPARE(alerts.shown.first().informativeText,
                 QStringLiteral("La transcripción está en el portapapeles: pégala con Ctrl+V. Para que Murmex la pegue "
                                "automáticamente, usa una sesión X11 cuyo servidor tenga la extensión XTEST."));
        QCOMPARE(alerts.shown.first().buttons, QStringList{QStringLiteral("Aceptar")});
        QCOMPARE(journal.events, QStringList{QStringLiteral("prompt")});
        QCOMPARE(revealState.revealGeneration, quint64(0)); // no reveal sequence, so no pass can follow
    }

    void revealAnswersWhetherStillCurrent_data()
    {
        QTest::addColumn<QString>("meanwhile");
        QTest::addColumn<bool>("expected");
        QTest::newRow("nothing happened") << "" << true;
        QTest::newRow("a later paste restarted the sequence") << "restart" << false;
        QTest::newRow("the indicator cancelled the sequence") << "cancel" << false;
        QTest::newRow("the token alone was cancelled") << "cancel token" << false;
        QTest::newRow("asked for an older sequence") << "older" << false;
        QTest::newRow("no sequence was ever started") << "none" << false;
    }

    void revealAnswersWhetherStillCurrent()
    {
        QFETCH(QString, meanwhile);
        QFETCH(bool, expected);

        RevealState revealState;
        UnavailableCaretRevealer revealer(revealState);
        quint64 sequence = 0;
        if (meanwhile != QLatin1String("none"))
            sequence = revealState.restart();
        if (meanwhile == QLatin1String("older"))
            revealState.restart();

        std::optional<bool> answer;
        revealer.revealCaret(4242, sequence, [&](bool stillCurrent) { answer = stillCurrent; });
        QVERIFY(!answer);
        if (meanwhile == QLatin1String("restart"))
            revealState.restart();
        else if (meanwhile == QLatin1String("cancel"))
            revealState.cancelCaretRevealSequence();
        else if (meanwhile == QLatin1String("cancel token"))
            revealState.activeRevealCancellation->cancel();
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

        X11KeySynthesizer keys;
        QVERIFY(keys.trusted());
        FakeAlerts alerts;
        RevealState revealState;
        UnavailableCaretRevealer revealer(revealState);
        PasteAtCursor paste(keys, hotKeys, alerts, revealState, revealer);
        int completions = 0;
        paste.pasteAtCapturedCursor(transcript, withTarget ? std::optional(target.processId()) : std::nullopt, [&] { ++completions; });
        if (shortcutHeld) {
            QVERIFY(QTest::qWaitFor([&] { return completions > 0; }, 300) == false);
            QCOMPARE(xdotool({QStringLiteral("keyup"), heldKeys}), 0);
        }

        QTRY_COMPARE_WITH_TIMEOUT(target.text(), transcript, 5000);
        QCOMPARE(completions, 1);
        QVERIFY(alerts.shown.isEmpty());
    }

    void keysStayOutOfAnotherProcessesWindow()
    {
        TargetProgram target;
        QVERIFY(target.start());
        X11KeySynthesizer keys;
        FakeHeldHotKeys heldHotKeys;
        FakeAlerts alerts;
        RevealState revealState;
        UnavailableCaretRevealer revealer(revealState);
        PasteAtCursor paste(keys, heldHotKeys, alerts, revealState, revealer);
        QSignalSpy leftOnClipboard(&paste, &PasteAtCursor::textLeftOnClipboard);

        int completions = 0;
        paste.pasteAtCapturedCursor(QStringLiteral("primero"), QCoreApplication::applicationPid(), [&] { ++completions; });
        QTRY_COMPARE(completions, 1);
        QCOMPARE(leftOnClipboard.size(), 1);
        // Had the first paste reached the target, the field would hold both texts (or the second twice).
        paste.pasteAtCapturedCursor(QStringLiteral("segundo"), target.processId(), [&] { ++completions; });
        QTRY_COMPARE_WITH_TIMEOUT(target.text(), QStringLiteral("segundo"), 5000);
    }

    void pasteKeysByProgramName_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<KeySynthesizer::PasteKeys>("keys");
        using Keys = KeySynthesizer::PasteKeys;
        QTest::newRow("xterm pastes the primary selection") << QStringList{"xterm", "XTerm"} << Keys::shiftInsert;
        QTest::newRow("program name only") << QStringList{"murmex-target", "gnome-terminal-server"} << Keys::controlShiftV;
        QTest::newRow("GNOME Console by its program") << QStringList{"kgx"} << Keys::controlShiftV;
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
