// The recording indicator: where its panel goes beside a caret or at a window's top, its shape
// without a compositor, and which lookup answers it takes, over a fake accessibility tree whose
// thread the test can hold back.

#include "FakePlatform.h"
#include "brand/BrandAssets.h"
#include "insertion/CaretLocator.h"
#include "insertion/CaretReveal.h"
#include "insertion/RecordingIndicatorController.h"
#include "insertion/RecordingIndicatorPanel.h"
#include "support/SerialQueue.h"

#include <QTest>

#include <atomic>
#include <map>

namespace {

// An application element whose focused element is a text field with its caret at offset 3, or
// nothing; a text field answers only for the empty range at the caret.
struct FakeElement : AccessibleElement {
    std::optional<AccessibleRole> roleValue = AccessibleRole::other;
    std::optional<AccessibleTextRange> selection;
    QRectF caret;
    AccessibleElementRef focusedChild;

    std::optional<AccessibleRole> role() override { return roleValue; }
    std::optional<bool> isFocused() override { return true; }
    std::optional<bool> isEditable() override { return true; }
    std::optional<AccessibleTextRange> selectedTextRange() override { return selection; }
    bool isSelectedTextRangeSettable() override { return false; }
    bool setSelectedTextRange(AccessibleTextRange) override { return false; }
    std::optional<QRectF> boundsForRange(AccessibleTextRange range) override
    {
        return selection && range == AccessibleTextRange{selection->location, 0} ? std::optional(caret) : std::nullopt;
    }
    std::optional<QPointF> position() override { return std::nullopt; }
    std::optional<QSizeF> size() override { return std::nullopt; }
    std::vector<AccessibleElementRef> children() override { return {}; }
    AccessibleElementRef focusedElement() override { return focusedChild; }
    AccessibleElementRef focusedWindow() override { return nullptr; }
    bool isSameElement(const AccessibleElement &other) const override { return this == &other; }
};

std::shared_ptr<FakeElement> textField(QRectF caret)
{
    auto field = std::make_shared<FakeElement>();
    field->roleValue = AccessibleRole::textField;
    field->selection = AccessibleTextRange{3, 0};
    field->caret = caret;
    return field;
}

// Its thread is a serial queue the test can hold back; `handedOver` counts the work given to it.
// The elements are changed in work handed to it, like every other read.
struct FakeTree : AccessibilityTree {
    std::map<qint64, std::shared_ptr<FakeElement>> applications;
    std::atomic<int> fullTreeRequests = 0;
    std::atomic<int> handedOver = 0;
    SerialQueue queue{QStringLiteral("com.tarvo.murmex.caret-lookup")};

    void perform(std::function<void()> work) override
    {
        ++handedOver;
        queue.async(std::move(work));
    }
    AccessibleElementRef applicationElement(qint64 processId) override
    {
        const auto found = applications.find(processId);
        return found == applications.end() ? nullptr : found->second;
    }
    void requestFullTree(const AccessibleElementRef &) override { ++fullTreeRequests; }
    AccessibleElementRef systemWideFocusedElement() override { return nullptr; }

    std::shared_ptr<FakeElement> addApplication(qint64 processId, const AccessibleElementRef &focused)
    {
        auto application = std::make_shared<FakeElement>();
        application->roleValue = AccessibleRole::application;
        application->focusedChild = focused;
        applications[processId] = application;
        return application;
    }
};

// Returns once every answer of the work handed to the tree so far has run on the main thread.
bool answersDelivered(AccessibilityCaretRevealer &revealer)
{
    auto delivered = std::make_shared<std::atomic<bool>>(false);
    revealer.performLookup([delivered](CaretLocator &) { AccessibilityCaretRevealer::answerOnMainThread([delivered] { *delivered = true; }); });
    return QTest::qWaitFor([&] { return delivered->load(); }, 5000);
}

// The indicator among fakes, following process 42.
struct Rig {
    FakeTree tree;
    FakeFrontmostApplication frontmost;
    RevealState revealState;
    AccessibilityCaretRevealer revealer{tree, revealState};
    RecordingIndicatorController indicator{revealer, revealState, frontmost};

    Rig() { frontmost.pid = 42; }
    const QWidget &panel() const { return indicator.panel(); }
};

QPoint atCaret(QRectF caret)
{
    return RecordingIndicatorController::panelOrigin(caret, RecordingIndicatorController::currentScreens()).value_or(QPointF()).toPoint();
}

using Screen = RecordingIndicatorController::Screen;
// Qt's screens: one 1440 x 900 with a 25-pixel bar at the top; two side by side of different
// heights; one left of the primary and lower; one at twice the pixel density.
const QList<Screen> laptop{{QRect(0, 0, 1440, 900), QRect(0, 25, 1440, 875)}};
const QList<Screen> sideBySide{{QRect(0, 0, 1920, 1080), QRect(0, 0, 1920, 1040)}, {QRect(1920, 0, 1280, 1024), QRect(1920, 0, 1280, 1024)}};
const QList<Screen> leftAndLower{{QRect(0, 0, 1440, 900), QRect(0, 0, 1440, 900)}, {QRect(-1280, 200, 1280, 720), QRect(-1280, 200, 1280, 720)}};
const QList<Screen> dense{{QRect(0, 0, 720, 450), QRect(0, 0, 720, 450), 2}};
const QPointF nowhere(-99999, -99999);

} // namespace

Q_DECLARE_METATYPE(QList<Screen>)

class RecordingIndicatorTest : public QObject {
    Q_OBJECT

private slots:
    void panelOrigin_data()
    {
        QTest::addColumn<QList<Screen>>("screens");
        QTest::addColumn<QRectF>("caret");
        QTest::addColumn<QPointF>("origin"); // the panel's top-left corner in Qt's coordinates

        // The placement rules count y upwards from the primary screen's bottom edge: there the
        // worked example's panel is at 105, 679, whose top is 900 - 679 - 24 = 197 in Qt's terms,
        // so that its centre (209) is the caret's.
        QTest::newRow("right of the caret") << laptop << QRectF(100, 200, 1, 18) << QPointF(105, 197);
        QTest::newRow("at the right edge: left of the caret") << laptop << QRectF(1420, 200, 1, 18) << QPointF(1420 - 24 - 4, 197);
        QTest::newRow("under the top bar: clamped below it") << laptop << QRectF(300, 5, 1, 18) << QPointF(305, 25);
        QTest::newRow("off every screen") << laptop << QRectF(5000, 200, 1, 18) << nowhere;
        QTest::newRow("second, shorter screen") << sideBySide << QRectF(2000, 1000, 1, 20) << QPointF(2005, 998);
        QTest::newRow("second screen's bottom, above the primary's") << sideBySide << QRectF(2000, 1015, 1, 18) << QPointF(2005, 1000);
        QTest::newRow("primary's taskbar") << sideBySide << QRectF(100, 1030, 1, 18) << QPointF(105, 1040 - 24);
        QTest::newRow("on the seam: the primary, first in order") << sideBySide << QRectF(1919, 500, 1, 18) << QPointF(1919 - 28, 497);
        QTest::newRow("left screen, lower") << leftAndLower << QRectF(-1000, 500, 1, 18) << QPointF(-995, 497);
        QTest::newRow("left screen's top") << leftAndLower << QRectF(-1000, 200, 1, 18) << QPointF(-995, 200);
        QTest::newRow("twice as dense: caret in the screen's pixels") << dense << QRectF(100, 200, 1, 18) << QPointF(54.5, 92.5);
    }

    void panelOrigin()
    {
        QFETCH(QList<Screen>, screens);
        QFETCH(QRectF, caret);
        QTEST(RecordingIndicatorController::panelOrigin(caret, screens).value_or(nowhere), "origin");
    }

    void windowTopOrigin_data()
    {
        QTest::addColumn<QList<Screen>>("screens");
        QTest::addColumn<QRect>("frame");
        QTest::addColumn<QPointF>("origin");
        QTest::newRow("top centre, inside the frame") << laptop << QRect(100, 100, 480, 300) << QPointF(100 + 240 - 12, 104);
        QTest::newRow("frame above the visible area") << laptop << QRect(100, -50, 480, 300) << QPointF(328, 25);
        QTest::newRow("frame reaching past the right edge") << laptop << QRect(1300, 300, 480, 300) << QPointF(1440 - 24, 304);
        QTest::newRow("on the second screen") << sideBySide << QRect(2500, 200, 400, 300) << QPointF(2700 - 12, 204);
        QTest::newRow("off every screen") << laptop << QRect(3000, 100, 480, 300) << nowhere;
    }

    void windowTopOrigin()
    {
        QFETCH(QList<Screen>, screens);
        QFETCH(QRect, frame);
        QTEST(RecordingIndicatorController::windowTopOrigin(frame, screens).value_or(nowhere), "origin");
    }

    void panelIsCutToTheLogoOnlyWithoutACompositor()
    {
        BrandAssets::setLogoPath(QFINDTESTDATA("../../share/murmex/Murmex.svg"));
        RecordingIndicatorPanel panel;
        panel.setComposited(false);
        const QRegion shape = panel.mask();
        for (const QPoint outside : {QPoint(0, 0), QPoint(23, 0), QPoint(0, 23), QPoint(23, 23), QPoint(12, 12) /* inside the M */})
            QVERIFY2(!shape.contains(outside), qPrintable(QStringLiteral("%1, %2").arg(outside.x()).arg(outside.y())));
        QVERIFY(shape.contains(QPoint(3, 10)) && shape.contains(QPoint(12, 4)));
        panel.setComposited(true);
        QVERIFY(panel.mask().isEmpty());
    }

    // A lookup held on the caret-lookup thread while the indicator is hidden, or while the user
    // switches to another application, answers for a state that is gone: it is dropped.
    void indicatorTakesOnlyCurrentAnswers_data()
    {
        QTest::addColumn<QString>("meanwhile");
        QTest::newRow("nothing") << "";
        QTest::newRow("hidden") << "hide";
        QTest::newRow("another application") << "switch";
    }

    void indicatorTakesOnlyCurrentAnswers()
    {
        QFETCH(QString, meanwhile);
        Rig rig;
        rig.tree.addApplication(42, textField(QRectF(100, 200, 1, 18)));
        rig.tree.addApplication(43, textField(QRectF(300, 400, 1, 18)));

        const quint64 sequence = rig.revealState.restart();
        rig.tree.queue.suspend();
        rig.indicator.prepare(42);
        rig.indicator.show(42);
        QVERIFY(!rig.revealState.isCurrent(sequence, rig.revealState.activeRevealCancellation)); // the reveal passes end
        QCOMPARE(rig.tree.handedOver.load(), 2); // the warm-up and the first lookup
        const int ticks = rig.frontmost.frontmostQueries;
        QTRY_VERIFY(rig.frontmost.frontmostQueries >= ticks + 3);
        QCOMPARE(rig.tree.handedOver.load(), 2); // three ticks later, still the one lookup

        if (meanwhile == u"hide") {
            rig.indicator.hide();
        } else if (meanwhile == u"switch") {
            rig.frontmost.pid = 43;
            const int before = rig.frontmost.frontmostQueries;
            QTRY_VERIFY(rig.frontmost.frontmostQueries > before);
        }
        rig.tree.queue.resume();
        QVERIFY(answersDelivered(rig.revealer));
        if (meanwhile.isEmpty()) {
            QVERIFY(rig.panel().isVisible());
            QCOMPARE(rig.panel().pos(), atCaret(QRectF(100, 200, 1, 18)));
            return;
        }
        QVERIFY(!rig.panel().isVisible()); // the held answer was dropped
        if (meanwhile == u"switch") {
            QTRY_VERIFY(rig.panel().isVisible());
            QCOMPARE(rig.panel().pos(), atCaret(QRectF(300, 400, 1, 18)));
        }
    }

    // Without a caret the panel goes to the top of the focused window, then to the caret once there
    // is one, and stays there when the caret is lost again.
    void indicatorWithoutCaretSitsAtTheWindowTop()
    {
        Rig rig;
        auto field = textField(QRectF(100, 200, 1, 18));
        auto application = rig.tree.addApplication(42, nullptr);

        rig.indicator.show(42);
        QVERIFY(!rig.panel().isVisible());
        QTRY_VERIFY(rig.panel().isVisible());
        QCOMPARE(rig.panel().pos(),
                 RecordingIndicatorController::windowTopOrigin(*rig.frontmost.frame, RecordingIndicatorController::currentScreens())->toPoint());

        rig.tree.perform([=] { application->focusedChild = field; });
        QTRY_COMPARE(rig.panel().pos(), atCaret(QRectF(100, 200, 1, 18)));

        const int searches = rig.tree.fullTreeRequests;
        rig.tree.perform([=] {
            field->selection.reset();
            application->focusedChild = nullptr;
        });
        QTRY_VERIFY(rig.tree.fullTreeRequests >= searches + 2); // two full searches found nothing
        QVERIFY(answersDelivered(rig.revealer));
        QVERIFY(rig.panel().isVisible());
        QCOMPARE(rig.panel().pos(), atCaret(QRectF(100, 200, 1, 18)));

        rig.indicator.hide();
        QVERIFY(!rig.panel().isVisible());
    }
};

QTEST_MAIN(RecordingIndicatorTest)
#include "RecordingIndicatorTest.moc"
