// The caret lookup over fake accessibility trees: what counts as text, which candidate wins, how far
// the searches go, the caret rectangle and its fallbacks, the element cache, and the reveal pass.

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
    std::optional<bool> focused, editable;
    std::optional<AccessibleTextRange> selection, written;
    bool settable = false;
    std::thread::id writtenOn;
    std::map<std::pair<qint64, qint64>, QRectF> rangeBounds;
    std::optional<QPointF> positionValue;
    std::optional<QSizeF> sizeValue;
    std::vector<AccessibleElementRef> kids;
    AccessibleElementRef focusedChild, window;

    std::optional<AccessibleRole> role() override { return roleValue; }
    std::optional<bool> isFocused() override { return focused; }
    std::optional<bool> isEditable() override { return editable; }
    std::optional<AccessibleTextRange> selectedTextRange() override { return selection; }
    bool isSelectedTextRangeSettable() override { return settable; }
    bool setSelectedTextRange(AccessibleTextRange range) override { written = range; writtenOn = std::this_thread::get_id(); return settable; }
    std::optional<QRectF> boundsForRange(AccessibleTextRange range) override
    {
        const auto found = rangeBounds.find({range.location, range.length});
        return found == rangeBounds.end() ? std::nullopt : std::optional(found->second);
    }
    std::optional<QPointF> position() override { return positionValue; }
    std::optional<QSizeF> size() override { return sizeValue; }
    std::vector<AccessibleElementRef> children() override { ++visitedElements; return kids; }
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

    void perform(std::function<void()> work) override { ++handedOver; queue.async(std::move(work)); }
    AccessibleElementRef applicationElement(qint64 processId) override { return applications.contains(processId) ? applications[processId] : nullptr; }
    void requestFullTree(const AccessibleElementRef &) override { ++fullTreeRequests; }
    AccessibleElementRef systemWideFocusedElement() override { return systemWide; }

    // Process 42, with `focused` as its focused element.
    std::shared_ptr<FakeElement> addApplication(const AccessibleElementRef &focused)
    {
        auto application = element(AccessibleRole::application);
        application->focusedChild = focused;
        applications[42] = application;
        return application;
    }
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

// The best text candidate at or below `root`, within a budget of 1600 elements.
AccessibleElementRef bestCandidate(CaretLocator &locator, const AccessibleElementRef &root)
{
    int remaining = 1600;
    CaretLocator::Candidate best;
    locator.findBestTextCandidate(root, 0, remaining, best);
    return best.element;
}

// An element (editable when `other`) and the extents it gives for the empty range at the caret and the characters around it.
struct CaretCase {
    AccessibleRole role = AccessibleRole::other;
    QSizeF size{300, 30};
    std::optional<AccessibleTextRange> selection = std::nullopt;
    QRectF empty = {}, next = {}, previous = {};
};

} // namespace

Q_DECLARE_METATYPE(CaretCase)

class CaretLocatorTest : public QObject {
    Q_OBJECT

private slots:
    void textCapability_data()
    {
        QTest::addColumn<int>("role"); // -1: the role cannot be read
        QTest::addColumn<bool>("editable");
        QTest::addColumn<bool>("hasRange");
        QTest::addColumn<bool>("capable");

        QTest::newRow("combo box without range") << int(AccessibleRole::comboBox) << false << false << true;
        QTest::newRow("editable other with range") << int(AccessibleRole::other) << true << true << true;
        QTest::newRow("editable unreadable role with range") << -1 << true << true << true;
        QTest::newRow("editable other without range") << int(AccessibleRole::other) << true << false << false;
        QTest::newRow("other with range, not editable") << int(AccessibleRole::other) << false << true << false;
        QTest::newRow("editable window with range") << int(AccessibleRole::window) << true << true << false;
    }

    void textCapability()
    {
        QFETCH(int, role);
        QFETCH(bool, editable);
        QFETCH(bool, hasRange);
        auto e = element();
        e->roleValue = role < 0 ? std::nullopt : std::optional(AccessibleRole(role));
        e->focused = true;
        e->editable = editable;
        if (hasRange)
            e->selection = AccessibleTextRange{0, 0};
        QTEST(CaretLocator::isTextCapable(*e), "capable");
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

        QCOMPARE(bestCandidate(locator, root), AccessibleElementRef(firstArea));
        secondArea->focused = true; // a focused element wins over any role
        QCOMPARE(bestCandidate(locator, root), AccessibleElementRef(secondArea));
    }

    // Both sides of each search's depth limit. (Their budgets show in focusedTextElement's visits.)
    void searchDepth_data()
    {
        QTest::addColumn<bool>("candidateSearch");
        QTest::addColumn<int>("depth");
        QTest::addColumn<bool>("found");
        const auto edge = [](const char *label, bool candidateSearch, int deepest) {
            QTest::addRow("%s, %d reached", label, deepest) << candidateSearch << deepest << true;
            QTest::addRow("%s, %d beyond", label, deepest + 1) << candidateSearch << deepest + 1 << false;
        };
        edge("focused search", false, 14);
        edge("candidate search", true, 16);
    }

    void searchDepth()
    {
        QFETCH(bool, candidateSearch);
        QFETCH(int, depth);
        FakeTree tree;
        CaretLocator locator(tree);
        auto target = textField();
        target->focused = true;
        const AccessibleElementRef root = chainTo(depth, target);
        int remaining = 1600;
        QTEST((candidateSearch ? bestCandidate(locator, root) : locator.findFocusedTextElement(root, 0, remaining)) == target, "found");
    }

    void focusedTextElement_data()
    {
        QTest::addColumn<int>("before"); // -1: the focused element is the text field itself
        QTest::addColumn<bool>("fromWindow");
        QTest::addColumn<qint64>("processId"); // -1: none known
        QTest::addColumn<bool>("systemWideIsText");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<int>("visits");

        QTest::newRow("focused element is the field") << -1 << false << qint64(42) << true << "target" << 0;
        // A hit is not descended into, so a search that finds its target visits one element fewer.
        QTest::newRow("below focused element") << 999 << false << qint64(42) << true << "target" << 1000;
        // Below the window: the focused search stops after 800, the candidate search walks it all.
        QTest::newRow("below focused window") << 999 << true << qint64(42) << true << "target" << 800 + 1001;
        QTest::newRow("beyond both budgets") << 1700 << true << qint64(42) << true << "system-wide" << 800 + 1600;
        QTest::newRow("no process") << 0 << false << qint64(-1) << true << "system-wide" << 0;
        QTest::newRow("no such application") << 0 << false << qint64(7) << true << "system-wide" << 0;
        QTest::newRow("system-wide element not text") << 0 << false << qint64(-1) << false << "none" << 0;
    }

    void focusedTextElement()
    {
        QFETCH(int, before);
        QFETCH(bool, fromWindow);
        QFETCH(qint64, processId);
        QFETCH(bool, systemWideIsText);
        QFETCH(QString, answer);
        auto target = textField();
        target->focused = true;
        auto otherField = textField();
        const AccessibleElementRef below = before < 0 ? AccessibleElementRef(target) : flatTree(before, target);
        FakeTree tree;
        auto application = tree.addApplication(fromWindow ? nullptr : below);
        // The other field is found only if the window were searched before the focused element.
        application->window = fromWindow ? below : flatTree(0, otherField);
        tree.systemWide = systemWideIsText ? AccessibleElementRef(otherField) : element(AccessibleRole::window);
        CaretLocator locator(tree);

        visitedElements = 0;
        const AccessibleElementRef hit = locator.focusedTextElement(processId < 0 ? std::nullopt : std::optional(processId));
        QCOMPARE(hit, answer == u"target" ? AccessibleElementRef(target) : answer == u"system-wide" ? AccessibleElementRef(otherField) : nullptr);
        QTEST(visitedElements, "visits");
        QCOMPARE(tree.fullTreeRequests, processId == 42 ? 1 : 0);
    }

    void caretBounds_data()
    {
        QTest::addColumn<CaretCase>("given");
        QTest::addColumn<QRectF>("expected"); // null: none
        const QRectF flat(30, 40, 0, 0);        // the zero extents some toolkits give at the end of the text
        const QRectF fallback(57.5, 85, 1, 20); // inside the editable 300 x 30 element at 50, 80
        const AccessibleTextRange atFour{4, 0};
        QTest::newRow("empty range answers") << CaretCase{.selection = atFour, .empty = QRectF(30, 40, 0, 18)} << QRectF(30, 40, 0, 18);
        QTest::newRow("caret at selection end") << CaretCase{.selection = AccessibleTextRange{2, 2}, .empty = QRectF(30, 40, 2, 18)} << QRectF(30, 40, 2, 18);
        QTest::newRow("next character's left edge") << CaretCase{.selection = atFour, .empty = flat, .next = QRectF(30, 40, 8, 18)} << QRectF(30, 40, 1, 18);
        QTest::newRow("end of text: previous right edge")
            << CaretCase{.selection = atFour, .empty = flat, .next = flat, .previous = QRectF(22, 40, 8, 18)} << QRectF(30, 40, 1, 18);
        QTest::newRow("caret at start, nothing answers") << CaretCase{.selection = AccessibleTextRange{0, 0}, .previous = QRectF(22, 40, 8, 18)} << fallback;
        QTest::newRow("no extents at all") << CaretCase{.selection = atFour, .empty = flat, .next = flat, .previous = flat} << fallback;
        QTest::newRow("no selection") << CaretCase{} << fallback;
        QTest::newRow("large text area, not editable") << CaretCase{.role = AccessibleRole::textArea, .size = QSizeF(1000, 400)} << QRectF(64, 92, 1, 22);
        QTest::newRow("not text, not editable") << CaretCase{.role = AccessibleRole::group} << QRectF();
        QTest::newRow("zero width") << CaretCase{.size = QSizeF(0, 30)} << QRectF();
        QTest::newRow("zero height") << CaretCase{.size = QSizeF(300, 0)} << QRectF();
    }

    void caretBounds()
    {
        QFETCH(CaretCase, given);
        auto field = element(given.role);
        field->editable = given.role == AccessibleRole::other;
        field->positionValue = QPointF(50, 80);
        field->sizeValue = given.size;
        field->selection = given.selection;
        const qint64 caret = given.selection ? given.selection->location + given.selection->length : 0;
        const std::pair<std::pair<qint64, qint64>, QRectF> extents[] = {{{caret, 0}, given.empty}, {{caret, 1}, given.next}, {{caret - 1, 1}, given.previous}};
        for (const auto &[range, rect] : extents)
            if (!rect.isNull())
                field->rangeBounds[range] = rect;
        QTEST(CaretLocator::caretBounds(*field).value_or(QRectF()), "expected");
    }

    void cacheIsReusedAndFullSearchesAreSpacedOut()
    {
        double now = 100;
        auto field = textField();
        FakeTree tree;
        auto application = tree.addApplication(field);
        CaretLocator locator(tree, [&] { return now; });
        const auto caret = [&](qint64 processId) { return locator.focusedCaretBounds(processId).value_or(QRectF()); };

        QCOMPARE(caret(42), QRectF(10, 20, 1, 16));
        field->rangeBounds[{3, 0}] = QRectF(11, 20, 1, 16);
        QCOMPARE(caret(42), QRectF(11, 20, 1, 16));
        QCOMPARE(tree.fullTreeRequests, 1); // the cached element answered

        now += 0.25; // another process does not use the cache, and the last search was too recent
        QCOMPARE(caret(43), QRectF());
        QCOMPARE(tree.fullTreeRequests, 1);

        // Focus moved to another field: the cache goes, and the next search waits its turn.
        auto otherField = textField(QRectF(70, 20, 1, 16));
        application->focusedChild = otherField;
        QCOMPARE(caret(42), QRectF());
        now += 0.25;
        QCOMPARE(caret(42), QRectF(70, 20, 1, 16));
        QCOMPARE(tree.fullTreeRequests, 2);

        // A cached element that gives no rectangle is searched for again in turn; so is one not found.
        otherField->selection.reset();
        application->focusedChild = nullptr;
        QCOMPARE(caret(42), QRectF());
        now += 0.5;
        QCOMPARE(caret(42), QRectF());
        now += 0.375;
        QCOMPARE(caret(42), QRectF());
        QCOMPARE(tree.fullTreeRequests, 3);

        locator.clearCache(); // also forgets when the last search ran
        application->focusedChild = field;
        QCOMPARE(caret(42), QRectF(11, 20, 1, 16));
        QCOMPARE(tree.fullTreeRequests, 4);
    }

    void revealPassWritesTheSelectionBackOnlyWhileCurrent_data()
    {
        QTest::addColumn<bool>("settable");
        // When a later paste restarts the sequence, or the indicator ends it: 0: never; 1: before the
        // lookup; 2: after it, before the main thread's check; 3: after that check, before the
        // write-back on the tree's thread. Only a pass still current writes back, and says so.
        QTest::addColumn<int>("restart");
        QTest::addColumn<bool>("byIndicator");
        QTest::newRow("current, settable") << true << 0 << false;
        QTest::newRow("current, not settable") << false << 0 << false;
        QTest::newRow("cancelled before the lookup") << true << 1 << false;
        QTest::newRow("overtaken before the check") << true << 2 << false;
        QTest::newRow("ended by the indicator before the check") << true << 2 << true;
        QTest::newRow("overtaken before the write-back") << true << 3 << false;
    }

    void revealPassWritesTheSelectionBackOnlyWhileCurrent()
    {
        QFETCH(bool, settable);
        QFETCH(int, restart);
        QFETCH(bool, byIndicator);
        auto field = textField();
        field->selection = AccessibleTextRange{5, 2};
        field->settable = settable;
        FakeTree tree;
        tree.addApplication(field);
        RevealState revealState;
        AccessibilityCaretRevealer revealer(tree, revealState);
        std::thread::id treeThread;
        tree.perform([&] { treeThread = std::this_thread::get_id(); });

        const quint64 sequence = revealState.restart();
        const auto overtake = [&] { byIndicator ? revealState.cancelCaretRevealSequence() : void(revealState.restart()); };
        std::optional<bool> answer;
        tree.queue.suspend();
        revealer.revealCaret(42, sequence, [&](bool stillCurrent) { answer = stillCurrent; });
        if (restart == 1)
            overtake();
        tree.queue.resume();
        if (restart >= 2) {
            QVERIFY(tree.queue.waitUntilDrained(5000)); // the lookup ran; its answer waits for the event loop
            if (restart == 3) {
                tree.queue.suspend();
                QTRY_COMPARE(tree.handedOver.load(), 3); // the check handed the write-back over
            }
            overtake();
            tree.queue.resume();
        }
        QTRY_VERIFY(answer.has_value());
        QCOMPARE(*answer, restart == 0);
        QCOMPARE(field->written == AccessibleTextRange({5, 2}), restart == 0 && settable);
        if (field->written)
            QCOMPARE(field->writtenOn, treeThread);
    }
};

QTEST_GUILESS_MAIN(CaretLocatorTest)
#include "CaretLocatorTest.moc"
