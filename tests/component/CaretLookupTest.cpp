// The caret of a real program's text field, found through the accessibility bus of the headless
// desktop on the accessibility tree's own thread, and a selection written back there: what the
// reveal passes do after a paste.

#include "insertion/CaretLocator.h"
#include "platform/linux/AtspiAccessibilityTree.h"

#include <QAbstractEventDispatcher>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDeadlineTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <future>

using namespace Qt::Literals::StringLiterals;

namespace {

// Runs `lookup` on the tree's thread and waits for its answer, which comes back as a copy.
template <typename Answer>
std::optional<Answer> askTreeThread(AccessibilityCaretRevealer &revealer, std::function<Answer(CaretLocator &)> lookup)
{
    auto reply = std::make_shared<std::promise<Answer>>();
    std::future<Answer> answer = reply->get_future();
    revealer.performLookup([reply, lookup](CaretLocator &locator) { reply->set_value(lookup(locator)); });
    if (!QTest::qWaitFor([&] { return answer.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 10000))
        return std::nullopt;
    return answer.get();
}

bool desktopAccessibilityIsOn()
{
    QDBusMessage get = QDBusMessage::createMethodCall(u"org.a11y.Bus"_s, u"/org/a11y/bus"_s, u"org.freedesktop.DBus.Properties"_s, u"Get"_s);
    get << u"org.a11y.Status"_s << u"IsEnabled"_s;
    const QDBusMessage reply = QDBusConnection::sessionBus().call(get, QDBus::Block, 5000);
    return reply.type() == QDBusMessage::ReplyMessage && reply.arguments().value(0).value<QDBusVariant>().variant().toBool();
}

} // namespace

class CaretLookupTest : public QObject {
    Q_OBJECT

private slots:
    void caretIsFoundAndTheSelectionWrittenBack()
    {
        QVERIFY2(!QCoreApplication::eventDispatcher()->inherits("QEventDispatcherGlib"), "run with QT_NO_GLIB=1, as Murmex runs Qt");
        QVERIFY(!desktopAccessibilityIsOn()); // as the headless desktop starts; the lookups turn it on
        // The tree is there before the target: its focus events arrive on the tree's thread.
        AtspiAccessibilityTree tree;
        RevealState revealState;
        AccessibilityCaretRevealer revealer(tree, revealState);
        // Connecting is the thread's first work: once this answers, the target will learn of the listener.
        QVERIFY(askTreeThread<bool>(revealer, [](CaretLocator &) { return true; }));

        QTemporaryDir scratch;
        const QString textFile = scratch.filePath(u"target.txt"_s);
        QProcess target;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"QT_LINUX_ACCESSIBILITY_ALWAYS_ON"_s, u"1"_s); // its tree exposed from the start
        environment.remove(u"QT_NO_GLIB"_s);                                // Qt as any other program runs it
        target.setProcessEnvironment(environment);
        target.start(QStringLiteral(MURMEX_TARGET_PROGRAM), {textFile});
        QVERIFY(target.waitForStarted());
        QCOMPARE(QProcess::execute(u"xdotool"_s, {u"search"_s, u"--sync"_s, u"--name"_s, u"^Murmex target$"_s, u"windowactivate"_s, u"--sync"_s}), 0);
        QCOMPARE(QProcess::execute(u"xdotool"_s, {u"type"_s, u"hola"_s}), 0);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(textFile), 10000);
        const qint64 pid = target.processId();

        // The target registers on the bus a moment after it shows its window; one lookup at a time.
        std::optional<QRectF> caret;
        for (QDeadlineTimer deadline(10000); !caret && !deadline.hasExpired();)
            caret = askTreeThread<std::optional<QRectF>>(revealer, [pid](CaretLocator &locator) { return locator.focusedCaretBounds(pid); }).value_or(std::nullopt);
        QVERIFY(caret && caret->height() > 0 && caret->x() > 0 && caret->y() > 0 && caret->x() < 1440 && caret->y() < 900);
        QCOMPARE(askTreeThread<bool>(revealer, [](CaretLocator &locator) { return locator.focusedTextElement(std::nullopt) != nullptr; }), true);

        // A selection written on the tree's thread reaches the target; a reveal pass writes it back.
        const auto selectionAfter = [&](std::optional<AccessibleTextRange> write) {
            return askTreeThread<std::optional<AccessibleTextRange>>(revealer, [pid, write](CaretLocator &locator) -> std::optional<AccessibleTextRange> {
                       const AccessibleElementRef field = locator.focusedTextElement(pid);
                       if (!field || (write && !field->setSelectedTextRange(*write)))
                           return std::nullopt;
                       return field->selectedTextRange();
                   })
                .value_or(std::nullopt);
        };
        const AccessibleTextRange ol{1, 2};
        QCOMPARE(selectionAfter(ol), std::optional(ol));
        std::optional<bool> stillCurrent;
        revealer.revealCaret(pid, revealState.restart(), [&](bool current) { stillCurrent = current; });
        QTRY_VERIFY_WITH_TIMEOUT(stillCurrent.has_value(), 10000);
        QVERIFY(*stillCurrent);
        QCOMPARE(selectionAfter(std::nullopt), std::optional(ol));
        QTRY_VERIFY_WITH_TIMEOUT(desktopAccessibilityIsOn(), 10000);

        target.terminate();
        target.waitForFinished(3000);
    }
};

QTEST_MAIN(CaretLookupTest)
#include "CaretLookupTest.moc"
