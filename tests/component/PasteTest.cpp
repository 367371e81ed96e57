// Pasting a transcript into another program: the paste and reveal sequence against recording
// fakes, and the real XTEST keystrokes into murmex-target on the headless desktop.

#include "FakePlatform.h"
#include "insertion/CaretReveal.h"
#include "insertion/PasteAtCursor.h"
#include "platform/KeySynthesizer.h"
#include "platform/linux/X11FrontmostApplication.h"
#include "platform/linux/X11KeySynthesizer.h"

#include <QClipboard>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QProcess>
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
    void postPaste(std::optional<qint64> target, bool terminal) override
    {
        journal.add(QStringLiteral("paste ") + describe(target) + (terminal ? QStringLiteral(" ctrl+shift+v") : QString()));
    }
    void postNudge(std::optional<qint64> target) override { journal.add(QStringLiteral("nudge ") + describe(target)); }
    bool isTerminal(std::optional<qint64>) override { return terminal; }

    Journal &journal;
    bool isTrusted = true;
    bool terminal = false;
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

// murmex-target with its text file, focused and ready for keys.
class TargetProgram {
public:
    bool start(const QString &terminalName = {})
    {
        QStringList arguments;
        if (!terminalName.isEmpty())
            arguments << QStringLiteral("--terminal") << terminalName;
        arguments << textFile();
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(QStringLiteral(MURMEX_TARGET_PROGRAM), arguments);
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
        process.kill();
        process.waitForFinished(3000);
    }

private:
    QString textFile() const { return folder.filePath(QStringLiteral("text")); }
    QTemporaryDir folder;
    QProcess process;
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
        QTest::addColumn<bool>("terminal");
        QTest::addColumn<bool>("withTarget");
        QTest::addColumn<bool>("secondPaste");
        QTest::addColumn<QStringList>("expected");

        QTest::newRow("first pass nudges while still current")
            << true << false << true << false
            << QStringList{"paste 4242", "completion", "reveal 4242 #1", "nudge 4242", "reveal 4242 #1"};
        QTest::newRow("no nudge after an overtaken pass")
            << false << false << true << false << QStringList{"paste 4242", "completion", "reveal 4242 #1", "reveal 4242 #1"};
        QTest::newRow("terminal shortcut, keyboard focus without a target")
            << true << true << false << false
            << QStringList{"paste focus ctrl+shift+v", "completion", "reveal focus #1", "nudge focus", "reveal focus #1"};
        QTest::newRow("a second paste cancels the first one's passes")
            << true << false << true << true
            << QStringList{"paste 4242", "completion", "paste 77", "completion", "reveal 77 #2", "nudge 77", "reveal 77 #2"};
    }

    void revealPassesFollowThePaste()
    {
        QFETCH(bool, revealAnswer);
        QFETCH(bool, terminal);
        QFETCH(bool, withTarget);
        QFETCH(bool, secondPaste);
        QFETCH(QStringList, expected);

        Journal journal;
        RecordingKeys keys(journal);
        keys.terminal = terminal;
        RecordingRevealer revealer(journal);
        revealer.answer = revealAnswer;
        FakeAlerts alerts;
        RevealState revealState;
        PasteAtCursor paste(keys, alerts, revealState, revealer);

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

    void untrustedLeavesTheTextOnTheClipboard()
    {
        Journal journal;
        RecordingKeys keys(journal);
        keys.isTrusted = false;
        RecordingRevealer revealer(journal);
        FakeAlerts alerts;
        RevealState revealState;
        PasteAtCursor paste(keys, alerts, revealState, revealer);
        QGuiApplication::clipboard()->setText(QStringLiteral("lo que había antes"));

        QList<qsizetype> alertsAtCompletion;
        paste.pasteAtCapturedCursor(transcript, 4242, [&] { alertsAtCompletion.append(alerts.shown.size()); });

        QTRY_COMPARE(alertsAtCompletion, QList<qsizetype>{1});
        QCOMPARE(QGuiApplication::clipboard()->text(), transcript);
        QCOMPARE(alerts.shown.first().message, QStringLiteral("Texto copiado"));
        QCOMPARE(alerts.shown.first().informativeText,
                 QStringLiteral("La transcripción está en el portapapeles. Autoriza Murmex en Privacidad y seguridad → "
                                "Accesibilidad para pegarla automáticamente."));
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
        QTest::addColumn<QString>("terminalName");
        QTest::addColumn<bool>("withTarget");
        QTest::addColumn<QString>("heldModifiers");
        QTest::newRow("into the target's window") << "" << true << "";
        QTest::newRow("no target: the focused window") << "" << false << "";
        QTest::newRow("modifiers still held down") << "" << true << "ctrl+alt+super";
        QTest::newRow("terminal emulator: Ctrl+Shift+V") << "kitty" << true << "";
    }

    void pastesIntoTheFocusedWindow()
    {
        QFETCH(QString, terminalName);
        QFETCH(bool, withTarget);
        QFETCH(QString, heldModifiers);

        TargetProgram target;
        QVERIFY(target.start(terminalName));
        const auto releaseModifiers = qScopeGuard([&] {
            if (!heldModifiers.isEmpty())
                xdotool({QStringLiteral("keyup"), heldModifiers});
        });
        if (!heldModifiers.isEmpty())
            QCOMPARE(xdotool({QStringLiteral("keydown"), heldModifiers}), 0);

        X11KeySynthesizer keys;
        QVERIFY(keys.trusted());
        FakeAlerts alerts;
        RevealState revealState;
        UnavailableCaretRevealer revealer(revealState);
        PasteAtCursor paste(keys, alerts, revealState, revealer);
        int completions = 0;
        paste.pasteAtCapturedCursor(transcript, withTarget ? std::optional(target.processId()) : std::nullopt, [&] { ++completions; });

        QTRY_COMPARE_WITH_TIMEOUT(target.text(), transcript, 5000);
        QCOMPARE(completions, 1);
        QVERIFY(alerts.shown.isEmpty());
    }

    void keysStayOutOfAnotherProcessesWindow()
    {
        TargetProgram target;
        QVERIFY(target.start());
        X11KeySynthesizer keys;
        FakeAlerts alerts;
        RevealState revealState;
        UnavailableCaretRevealer revealer(revealState);
        PasteAtCursor paste(keys, alerts, revealState, revealer);

        int completions = 0;
        paste.pasteAtCapturedCursor(QStringLiteral("primero"), QCoreApplication::applicationPid(), [&] { ++completions; });
        QTRY_COMPARE(completions, 1);
        // Had the first paste reached the target, the field would hold both texts (or the second twice).
        paste.pasteAtCapturedCursor(QStringLiteral("segundo"), target.processId(), [&] { ++completions; });
        QTRY_COMPARE_WITH_TIMEOUT(target.text(), QStringLiteral("segundo"), 5000);
    }

    void terminalEmulatorNames_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<bool>("terminal");
        QTest::newRow("window class, any case") << QStringList{"xterm", "XTerm"} << true;
        QTest::newRow("program name only") << QStringList{"murmex-target", "gnome-terminal-server"} << true;
        QTest::newRow("a text editor") << QStringList{"gedit", "Gedit", "gedit"} << false;
        QTest::newRow("a terminal's name inside another") << QStringList{"footprint", "kitty-cat"} << false;
    }

    void terminalEmulatorNames()
    {
        QFETCH(QStringList, names);
        QFETCH(bool, terminal);
        QCOMPARE(X11KeySynthesizer::isTerminalEmulator(names), terminal);
    }
};

QTEST_MAIN(PasteTest)
#include "PasteTest.moc"
