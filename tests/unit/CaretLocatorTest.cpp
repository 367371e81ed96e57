// The caret lookup over fake accessibility trees: what counts as text, how candidates are scored,
// how far the searches go, the caret rectangle and its fallbacks, the element cache, and the
// reveal pass.

#include "insertion/CaretLocator.h"
#include "support/SerialQueue.h"

#include <QTest>

#include <atomic>
#include <map>
#include <thread>

namespace {

int visitedElements = 0; // children() is read once for every element a search visits

struct FakeElement : AccessibleElement {
    std::optional<AccessibleRole> roleValue = AccessibleRole::other;
    std::optional<bool> focused;
    std::optional<bool> editable;
    std::optional<AccessibleTextRange> selection;
    bool settable = false;
    std::optional<AccessibleTextRange> written;
    std::thread::id writtenOn;
    std::map<std::pair<qint64, qint64>, QRectF> rangeBounds;
    std::optional<QPointF> positionValue;
    std::optional<QSizeF> sizeValue;
    std::vector<AccessibleElementRef> kids;
    AccessibleElementRef focusedChild;
    AccessibleElementRef window;

    std::optional<AccessibleRole> role() override { return roleValue; }
    std::optional<bool> isFocused() override { return focused; }
    std::optional<bool> isEditable() override { return editable; }
    std::optional<AccessibleTextRange> selectedTextRange() override { return selection; }
    bool isSelectedTextRangeSettable() override { return settable; }
    bool setSelectedTextRange(AccessibleTextRange range) override
    {
        written = range;
        writtenOn = std::this_thread::get_id();
        return settable;
    }
    std::optional<QRectF> boundsForRange(AccessibleTextRange range) override
    {
        const auto found = rangeBounds.find({range.location, range.length});
        if (found == rangeBounds.end())
            return std::nullopt;
        return found->second;
    }
    std::optional<QPointF> position() override { return positionValue; }
    std::optional<QSizeF> size() override { return sizeValue; }
    std::vector<AccessibleElementRef> children() override
    {
        ++visitedElements;
        return kids;
    }
    AccessibleElementRef focusedElement() override { return focusedChild; }
    AccessibleElementRef focusedWindow() override { return window; }
    bool isSameElement(const AccessibleElement &other) const override { return this == &other; }
};

std::shared_ptr<FakeElement> element(AccessibleRole role = AccessibleRole::other)
{
    auto made = std::make_shared<FakeElement>();
    made->roleValue = role;
    return made;
}

std::shared_ptr<FakeElement> textField(QRectF caret = QRectF(10, 20, 1, 16))
{
    auto field = element(AccessibleRole::textField);
    field->selection = AccessibleTextRange{3, 0};
    field->rangeBounds[{3, 0}] = caret;
    return field;
}

// Its thread is a serial queue the test can hold back; `handedOver` counts the work given to it.
struct FakeTree : AccessibilityTree {
    std::map<qint64, AccessibleElementRef> applications;
    AccessibleElementRef systemWide;
    int fullTreeRequests = 0;
    std::atomic<int> handedOver = 0;
    SerialQueue queue{QStringLiteral("com.tarvo.murmex.caret-lookup")}; // drained first when the tree goes

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
    AccessibleElementRef systemWideFocusedElement() override { return systemWide; }
};

// A container with `before` plain siblings and then `target`.
std::shared_ptr<FakeElement> flatTree(int before, const AccessibleElementRef &target)
{
    auto root = element(AccessibleRole::group);
    for (int i = 0; i < before; ++i)
        root->kids.push_back(element(AccessibleRole::group));
    root->kids.push_back(target);
    return root;
}

// `target` nested `depth` levels below the returned root.
std::shared_ptr<FakeElement> chainTo(int depth, const AccessibleElementRef &target)
{
    if (depth == 0)
        return std::static_pointer_cast<FakeElement>(target);
    auto parent = element(AccessibleRole::group);
    parent->kids.push_back(chainTo(depth - 1, target));
    return parent;
}

} // namespace

Q_DECLARE_METATYPE(std::optional<QRectF>)

char *toString(const std::optional<QRectF> &rect)
{
    if (!rect)
        return qstrdup("none");
    return QTest::toString(*rect);
}

class CaretLocatorTest : public QObject {
    Q_OBJECT

private slots:
    void textCapabilityAndScore_data()
    {
        QTest::addColumn<int>("role"); // -1: the role cannot be read
        QTest::addColumn<bool>("focused");
        QTest::addColumn<bool>("editable");
        QTest::addColumn<bool>("hasRange");
        QTest::addColumn<bool>("capable");
        QTest::addColumn<int>("score");

        const auto r = [](AccessibleRole role) { return int(role); };
        QTest::newRow("text field with range") << r(AccessibleRole::textField) << false << false << true << true << 400;
        QTest::newRow("focused combo box") << r(AccessibleRole::comboBox) << true << false << false << true << 1240;
        QTest::newRow("focused text area with range") << r(AccessibleRole::textArea) << true << false << true << true << 1420;
        QTest::newRow("editable other with range") << r(AccessibleRole::other) << false << true << true << true << 120;
        QTest::newRow("editable unreadable role with range") << -1 << true << true << true << true << 1120;
        QTest::newRow("editable other without range") << r(AccessibleRole::other) << false << true << false << false << 0;
        QTest::newRow("other with range, not editable") << r(AccessibleRole::other) << false << false << true << false << 120;
        QTest::newRow("editable group with range") << r(AccessibleRole::group) << false << true << true << false << 120;
        // Containers (application, window, scroll area, group, web area) are never the text.
        QTest::newRow("focused editable window with range") << r(AccessibleRole::window) << true << true << true << false << 1120;
    }

    void textCapabilityAndScore()
    {
        QFETCH(int, role);
        QFETCH(bool, focused);
        QFETCH(bool, editable);
        QFETCH(bool, hasRange);
        auto e = element();
        e->roleValue = role < 0 ? std::nullopt : std::optional(AccessibleRole(role));
        e->focused = focused;
        e->editable = editable;
        if (hasRange)
            e->selection = AccessibleTextRange{0, 0};
        QTEST(CaretLocator::isTextCapable(*e), "capable");
        QTEST(CaretLocator::candidateScore(*e), "score");
    }

    void bestCandidateTakesTheHighestScoreAndTheFirstOfEqualScores()
    {
        FakeTree tree;
        CaretLocator locator(tree);
        auto field = element(AccessibleRole::textField);
        auto firstArea = element(AccessibleRole::textArea);
        auto secondArea = element(AccessibleRole::textArea);
        auto group = element(AccessibleRole::group);
        group->kids = {secondArea};
        auto root = element(AccessibleRole::window);
        root->kids = {field, firstArea, group};

        int remaining = 100;
        CaretLocator::Candidate best;
        locator.findBestTextCandidate(root, 0, remaining, best);
        QCOMPARE(best.element, AccessibleElementRef(firstArea));
        QCOMPARE(best.score, 300);

        secondArea->focused = true; // a focused element wins over any role
        best = {};
        remaining = 100;
        locator.findBestTextCandidate(root, 0, remaining, best);
        QCOMPARE(best.element, AccessibleElementRef(secondArea));
        QCOMPARE(best.score, 1300);
    }

    void searchLimits_data()
    {
        QTest::addColumn<bool>("candidateSearch");
        QTest::addColumn<bool>("nested"); // depth limit when true, budget when false
        QTest::addColumn<int>("distance");
        QTest::addColumn<bool>("found");

        QTest::newRow("focused search, depth 14") << false << true << 14 << true;
        QTest::newRow("focused search, depth 15") << false << true << 15 << false;
        QTest::newRow("candidate search, depth 16") << true << true << 16 << true;
        QTest::newRow("candidate search, depth 17") << true << true << 17 << false;
        // The root and the siblings are spent first: the target is element distance + 2.
        QTest::newRow("focused search, 1600th element") << false << false << 1598 << true;
        QTest::newRow("focused search, 1601st element") << false << false << 1599 << false;
        QTest::newRow("candidate search, 1600th element") << true << false << 1598 << true;
        QTest::newRow("candidate search, 1601st element") << true << false << 1599 << false;
    }

    void searchLimits()
    {
        QFETCH(bool, candidateSearch);
        QFETCH(bool, nested);
        QFETCH(int, distance);
        FakeTree tree;
        CaretLocator locator(tree);
        auto target = textField();
        target->focused = true;
        const AccessibleElementRef root = nested ? chainTo(distance, target) : flatTree(distance, target);

        int remaining = 1600;
        AccessibleElementRef hit;
        if (candidateSearch) {
            CaretLocator::Candidate best;
            locator.findBestTextCandidate(root, 0, remaining, best);
            hit = best.element;
        } else {
            hit = locator.findFocusedTextElement(root, 0, remaining);
        }
        QTEST(hit == target, "found");
    }

    void focusedTextElementSearchOrder_data()
    {
        QTest::addColumn<bool>("fromWindow");
        QTest::addColumn<int>("before");
        QTest::addColumn<bool>("found");
        QTest::addColumn<int>("visits");

        // A hit is not descended into, so a search that finds its target visits one element fewer.
        QTest::newRow("below focused element") << false << 999 << true << 1000;
        // Below the window: the focused search stops after 800, the candidate search walks it all.
        QTest::newRow("below focused window") << true << 999 << true << 800 + 1001;
        QTest::newRow("beyond both budgets") << true << 1700 << false << 800 + 1600;
    }

    void focusedTextElementSearchOrder()
    {
        QFETCH(bool, fromWindow);
        QFETCH(int, before);
        auto target = textField();
        target->focused = true;
        auto application = element(AccessibleRole::application);
        (fromWindow ? application->window : application->focusedChild) = flatTree(before, target);
        FakeTree tree;
        tree.applications[42] = application;
        CaretLocator locator(tree);

        visitedElements = 0;
        const AccessibleElementRef hit = locator.focusedTextElement(42);
        QTEST(hit == target, "found");
        QTEST(visitedElements, "visits");
        QCOMPARE(tree.fullTreeRequests, 1);
    }

    void focusedTextElementPrefersTheFocusedElementThenTheSystemWideOne()
    {
        auto focusedField = textField();
        auto otherField = textField();
        auto application = element(AccessibleRole::application);
        application->focusedChild = focusedField;
        application->window = flatTree(0, otherField);
        FakeTree tree;
        tree.applications[42] = application;
        tree.systemWide = otherField;
        CaretLocator locator(tree);

        QCOMPARE(locator.focusedTextElement(42), AccessibleElementRef(focusedField));
        QCOMPARE(locator.focusedTextElement(std::nullopt), AccessibleElementRef(otherField));
        QCOMPARE(locator.focusedTextElement(7), AccessibleElementRef(otherField)); // no such application

        tree.systemWide = element(AccessibleRole::window);
        QCOMPARE(locator.focusedTextElement(std::nullopt), AccessibleElementRef());
    }

    void caretBounds_data()
    {
        QTest::addColumn<qint64>("location");
        QTest::addColumn<qint64>("length");
        QTest::addColumn<QRectF>("empty");
        QTest::addColumn<QRectF>("next");
        QTest::addColumn<QRectF>("previous");
        QTest::addColumn<std::optional<QRectF>>("expected");

        const QRectF none;
        const QRectF flat(30, 40, 0, 0); // the zero extents some toolkits give at the end of the text
        const QRectF fallback(57.5, 85, 1, 20);
        QTest::newRow("empty range answers") << qint64(4) << qint64(0) << QRectF(30, 40, 0, 18) << none << none << std::optional(QRectF(30, 40, 0, 18));
        QTest::newRow("caret at selection end") << qint64(2) << qint64(2) << QRectF(30, 40, 2, 18) << none << none << std::optional(QRectF(30, 40, 2, 18));
        QTest::newRow("next character's left edge") << qint64(4) << qint64(0) << flat << QRectF(30, 40, 8, 18) << none << std::optional(QRectF(30, 40, 1, 18));
        QTest::newRow("end of text: previous right edge") << qint64(4) << qint64(0) << flat << flat << QRectF(22, 40, 8, 18) << std::optional(QRectF(30, 40, 1, 18));
        QTest::newRow("caret at start, nothing answers") << qint64(0) << qint64(0) << none << none << QRectF(22, 40, 8, 18) << std::optional(fallback);
        QTest::newRow("no extents at all") << qint64(4) << qint64(0) << flat << flat << flat << std::optional(fallback);
        QTest::newRow("no selection") << qint64(-1) << qint64(0) << QRectF(30, 40, 0, 18) << none << none << std::optional(fallback);
    }

    void caretBounds()
    {
        QFETCH(qint64, location);
        QFETCH(qint64, length);
        QFETCH(QRectF, empty);
        QFETCH(QRectF, next);
        QFETCH(QRectF, previous);
        auto field = element();
        field->editable = true;
        field->positionValue = QPointF(50, 80);
        field->sizeValue = QSizeF(300, 30);
        if (location >= 0)
            field->selection = AccessibleTextRange{location, length};
        const qint64 caret = location + length;
        if (!empty.isNull())
            field->rangeBounds[{caret, 0}] = empty;
        if (!next.isNull())
            field->rangeBounds[{caret, 1}] = next;
        if (!previous.isNull())
            field->rangeBounds[{caret - 1, 1}] = previous;
        QTEST(CaretLocator::caretBounds(*field), "expected");
    }

    void fallbackCaretBounds_data()
    {
        QTest::addColumn<int>("role");
        QTest::addColumn<bool>("editable");
        QTest::addColumn<QPointF>("position");
        QTest::addColumn<QSizeF>("size");
        QTest::addColumn<std::optional<QRectF>>("expected");

        const int other = int(AccessibleRole::other);
        QTest::newRow("editable 300 x 30") << other << true << QPointF(50, 80) << QSizeF(300, 30) << std::optional(QRectF(57.5, 85, 1, 20));
        QTest::newRow("large text area clamps up") << int(AccessibleRole::textArea) << false << QPointF(0, 0) << QSizeF(1000, 400) << std::optional(QRectF(14, 12, 1, 22));
        QTest::newRow("small field clamps down") << int(AccessibleRole::textField) << false << QPointF(10, 10) << QSizeF(100, 12) << std::optional(QRectF(16, 15, 1, 12));
        QTest::newRow("combo box") << int(AccessibleRole::comboBox) << false << QPointF(0, 0) << QSizeF(200, 100) << std::optional(QRectF(6, 8, 1, 22));
        QTest::newRow("not text, not editable") << int(AccessibleRole::group) << false << QPointF(50, 80) << QSizeF(300, 30) << std::optional<QRectF>();
        QTest::newRow("zero width") << other << true << QPointF(50, 80) << QSizeF(0, 30) << std::optional<QRectF>();
        QTest::newRow("zero height") << other << true << QPointF(50, 80) << QSizeF(300, 0) << std::optional<QRectF>();
    }

    void fallbackCaretBounds()
    {
        QFETCH(int, role);
        QFETCH(bool, editable);
        QFETCH(QPointF, position);
        QFETCH(QSizeF, size);
        auto e = element(AccessibleRole(role));
        e->editable = editable;
        e->positionValue = position;
        e->sizeValue = size;
        QTEST(CaretLocator::fallbackCaretBounds(*e), "expected");
    }

    void cacheIsReusedAndFullSearchesAreSpacedOut()
    {
        double now = 100;
        auto field = textField(QRectF(10, 20, 1, 16));
        auto application = element(AccessibleRole::application);
        application->focusedChild = field;
        FakeTree tree;
        tree.applications[42] = application;
        CaretLocator locator(tree, [&] { return now; });

        QCOMPARE(locator.focusedCaretBounds(42), std::optional(QRectF(10, 20, 1, 16)));
        QCOMPARE(tree.fullTreeRequests, 1);
        field->rangeBounds[{3, 0}] = QRectF(11, 20, 1, 16);
        QCOMPARE(locator.focusedCaretBounds(42), std::optional(QRectF(11, 20, 1, 16)));
        QCOMPARE(tree.fullTreeRequests, 1); // the cached element answered

        // Another process does not use the cache, and the last search was too recent.
        now += 0.25;
        QCOMPARE(locator.focusedCaretBounds(43), std::optional<QRectF>());
        QCOMPARE(tree.fullTreeRequests, 1);

        // Focus moved to another field: the cache goes, and the next search waits its turn.
        auto otherField = textField(QRectF(70, 20, 1, 16));
        application->focusedChild = otherField;
        QCOMPARE(locator.focusedCaretBounds(42), std::optional<QRectF>());
        QCOMPARE(locator.cachedElement(), AccessibleElementRef());
        now += 0.25;
        QCOMPARE(locator.focusedCaretBounds(42), std::optional(QRectF(70, 20, 1, 16)));
        QCOMPARE(tree.fullTreeRequests, 2);
        QCOMPARE(locator.cachedElement(), AccessibleElementRef(otherField));

        // A cached element that gives no rectangle at all is dropped; nothing found is not cached.
        otherField->selection.reset();
        application->focusedChild = nullptr;
        QCOMPARE(locator.focusedCaretBounds(42), std::optional<QRectF>());
        QCOMPARE(locator.cachedElement(), AccessibleElementRef());
        now += 0.5;
        QCOMPARE(locator.focusedCaretBounds(42), std::optional<QRectF>());
        QCOMPARE(tree.fullTreeRequests, 3);
        now += 0.375;
        QCOMPARE(locator.focusedCaretBounds(42), std::optional<QRectF>());
        QCOMPARE(tree.fullTreeRequests, 3);

        // Clearing the cache also forgets when the last search ran.
        locator.clearCache();
        application->focusedChild = field;
        QCOMPARE(locator.focusedCaretBounds(42), std::optional(QRectF(11, 20, 1, 16)));
        QCOMPARE(tree.fullTreeRequests, 4);
    }

    void revealPassWritesTheSelectionBackOnlyWhileCurrent_data()
    {
        QTest::addColumn<bool>("settable");
        // 0: never; 1: before the lookup; 2: after it, before the main thread's check; 3: after
        // that check, before the write-back on the tree's thread.
        QTest::addColumn<int>("restart");
        QTest::addColumn<bool>("stillCurrent");
        QTest::addColumn<bool>("written");

        QTest::newRow("current, settable") << true << 0 << true << true;
        QTest::newRow("current, not settable") << false << 0 << true << false;
        QTest::newRow("cancelled before the lookup") << true << 1 << false << false;
        QTest::newRow("overtaken before the check") << true << 2 << false << false;
        QTest::newRow("overtaken before the write-back") << true << 3 << false << false;
    }

    void revealPassWritesTheSelectionBackOnlyWhileCurrent()
    {
        QFETCH(bool, settable);
        QFETCH(int, restart);
        auto field = textField();
        field->selection = AccessibleTextRange{5, 2};
        field->settable = settable;
        auto application = element(AccessibleRole::application);
        application->focusedChild = field;
        FakeTree tree;
        tree.applications[42] = application;
        RevealState revealState;
        AccessibilityCaretRevealer revealer(tree, revealState);
        std::thread::id treeThread;
        tree.perform([&] { treeThread = std::this_thread::get_id(); });

        const quint64 sequence = revealState.restart();
        std::optional<bool> answer;
        tree.queue.suspend();
        revealer.revealCaret(42, sequence, [&](bool stillCurrent) { answer = stillCurrent; });
        if (restart == 1)
            revealState.restart();
        tree.queue.resume();
        if (restart >= 2) {
            QVERIFY(tree.queue.waitUntilDrained(5000)); // the lookup ran; its answer waits for the event loop
            if (restart == 3) {
                tree.queue.suspend();
                QTRY_COMPARE(tree.handedOver.load(), 3); // the check handed the write-back over
            }
            revealState.restart();
            tree.queue.resume();
        }
        QTRY_VERIFY(answer.has_value());
        QTEST(*answer, "stillCurrent");
        QTEST(field->written == AccessibleTextRange({5, 2}), "written");
        if (field->written)
            QCOMPARE(field->writtenOn, treeThread);
    }
};

QTEST_GUILESS_MAIN(CaretLocatorTest)
#include "CaretLocatorTest.moc"
