#include "CaretLocator.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>

#include <algorithm>
#include <chrono>
#include <deque>
#include <limits>
#include <mutex>

namespace {

double steadyUptime()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

bool isTextRole(std::optional<AccessibleRole> role)
{
    return role == AccessibleRole::textField || role == AccessibleRole::textArea || role == AccessibleRole::comboBox;
}

bool hasPositiveHeight(const std::optional<QRectF> &rect)
{
    return rect && rect->height() > 0;
}

} // namespace

CaretLocator::CaretLocator(AccessibilityTree &tree, Clock clock)
    : tree(tree)
    , clock(clock ? std::move(clock) : Clock(steadyUptime))
    , lastTextElementSearchUptime(-std::numeric_limits<double>::infinity())
{
}

void CaretLocator::clearCache()
{
    cachedTextElement.reset();
    cachedTextElementPID.reset();
    lastTextElementSearchUptime = -std::numeric_limits<double>::infinity();
}

AccessibleElementRef CaretLocator::focusedElementOfApplication(qint64 processId)
{
    const AccessibleElementRef application = tree.applicationElement(processId);
    return application ? application->focusedElement() : nullptr;
}

std::optional<QRectF> CaretLocator::focusedCaretBounds(std::optional<qint64> processId)
{
    if (cachedTextElement && cachedTextElementPID == processId) {
        // Focus may have moved to another text element of the same application since the search;
        // the cached one would then still answer, with a caret the user no longer sees.
        AccessibleElementRef focused = processId ? focusedElementOfApplication(*processId) : nullptr;
        if (focused && isTextCapable(*focused) && !focused->isSameElement(*cachedTextElement)) {
            cachedTextElement.reset();
            cachedTextElementPID.reset();
        } else {
            if (std::optional<QRectF> rect = caretBounds(*cachedTextElement))
                return rect;
            cachedTextElement.reset();
            cachedTextElementPID.reset();
        }
    }

    const double now = clock();
    if (now - lastTextElementSearchUptime < deepSearchRetryInterval)
        return std::nullopt;

    AccessibleElementRef element = focusedTextElement(processId);
    lastTextElementSearchUptime = now;
    if (!element) {
        cachedTextElement.reset();
        cachedTextElementPID.reset();
        return std::nullopt;
    }
    cachedTextElement = element;
    cachedTextElementPID = processId;
    return caretBounds(*element);
}

AccessibleElementRef CaretLocator::focusedTextElement(std::optional<qint64> processId)
{
    if (processId) {
        if (AccessibleElementRef application = tree.applicationElement(*processId)) {
            tree.requestFullTree(application);

            if (AccessibleElementRef focused = application->focusedElement()) {
                if (isTextCapable(*focused))
                    return focused;
                int remaining = focusedElementSearchBudget;
                if (AccessibleElementRef hit = findFocusedTextElement(focused, 0, remaining))
                    return hit;
                remaining = candidateSearchBudget;
                Candidate best;
                findBestTextCandidate(focused, 0, remaining, best);
                if (best.element)
                    return best.element;
            }

            if (AccessibleElementRef window = application->focusedWindow()) {
                int remaining = focusedWindowSearchBudget;
                if (AccessibleElementRef hit = findFocusedTextElement(window, 0, remaining))
                    return hit;
                remaining = candidateSearchBudget;
                Candidate best;
                findBestTextCandidate(window, 0, remaining, best);
                if (best.element)
                    return best.element;
            }
        }
    }

    AccessibleElementRef focused = tree.systemWideFocusedElement();
    if (focused && isTextCapable(*focused))
        return focused;
    return nullptr;
}

AccessibleElementRef CaretLocator::findFocusedTextElement(const AccessibleElementRef &element, int depth, int &remainingElements)
{
    if (!element || depth > focusedSearchMaxDepth || remainingElements < 1)
        return nullptr;
    --remainingElements;
    if (element->isFocused() == true && isTextCapable(*element))
        return element;
    for (const AccessibleElementRef &child : element->children()) {
        if (AccessibleElementRef hit = findFocusedTextElement(child, depth + 1, remainingElements))
            return hit;
    }
    return nullptr;
}

void CaretLocator::findBestTextCandidate(const AccessibleElementRef &element, int depth, int &remainingElements, Candidate &best)
{
    if (!element || depth > candidateSearchMaxDepth || remainingElements < 1)
        return;
    --remainingElements;
    if (isTextCapable(*element)) {
        const int score = candidateScore(*element);
        if (!best.element || score > best.score)
            best = {element, score};
    }
    for (const AccessibleElementRef &child : element->children())
        findBestTextCandidate(child, depth + 1, remainingElements, best);
}

int CaretLocator::candidateScore(AccessibleElement &element)
{
    int score = element.isFocused() == true ? 1000 : 0;
    switch (element.role().value_or(AccessibleRole::other)) {
    case AccessibleRole::textArea:
        score += 300;
        break;
    case AccessibleRole::textField:
        score += 280;
        break;
    case AccessibleRole::comboBox:
        score += 240;
        break;
    default:
        break;
    }
    if (element.selectedTextRange())
        score += 120;
    return score;
}

bool CaretLocator::isTextCapable(AccessibleElement &element)
{
    const std::optional<AccessibleRole> role = element.role();
    if (isTextRole(role))
        return true;
    if (role && *role != AccessibleRole::other)
        return false; // application, window, scroll area, group, web area: containers, never the text
    return element.isEditable() == true && element.selectedTextRange().has_value();
}

std::optional<QRectF> CaretLocator::caretBounds(AccessibleElement &element)
{
    const std::optional<AccessibleTextRange> selection = element.selectedTextRange();
    if (!selection)
        return fallbackCaretBounds(element);
    const qint64 caret = selection->location + selection->length;

    std::optional<QRectF> rect = bounds({caret, 0}, element);
    if (hasPositiveHeight(rect))
        return rect;

    // Some toolkits give no extents for an empty range: use the edge of a neighbouring character.
    rect = bounds({caret, 1}, element);
    if (hasPositiveHeight(rect))
        return QRectF(rect->left(), rect->top(), 1, rect->height());

    // At the end of the text there is no next character; the previous one's right edge is the caret.
    if (caret >= 1) {
        rect = bounds({caret - 1, 1}, element);
        if (hasPositiveHeight(rect))
            return QRectF(rect->right(), rect->top(), 1, rect->height());
    }
    return fallbackCaretBounds(element);
}

std::optional<QRectF> CaretLocator::bounds(AccessibleTextRange range, AccessibleElement &element)
{
    return element.boundsForRange(range);
}

std::optional<QRectF> CaretLocator::fallbackCaretBounds(AccessibleElement &element)
{
    if (!isTextRole(element.role()) && element.isEditable() != true)
        return std::nullopt;
    const std::optional<QPointF> position = element.position();
    const std::optional<QSizeF> size = element.size();
    if (!position || !size || size->width() <= 0 || size->height() <= 0)
        return std::nullopt;

    // A pseudo-caret just inside the element's top-left corner, where an empty field's caret sits.
    const double insetX = std::clamp(size->width() * 0.025, 6.0, 14.0);
    const double insetY = std::clamp(size->height() * 0.08, 5.0, 12.0);
    const double caretHeight = std::clamp(size->height() - 2 * insetY, 12.0, 22.0);
    return QRectF(position->x() + insetX, position->y() + insetY, 1, caretHeight);
}

// The locator and the selection the latest pass found, kept on the tree's thread for the write-back.
struct AccessibilityCaretRevealer::LookupSide {
    LookupSide(AccessibilityTree &tree, CaretLocator::Clock clock)
        : locator(tree, std::move(clock))
    {
    }

    CaretLocator locator;
    quint64 keptPass = 0;
    AccessibleElementRef keptElement;
    AccessibleTextRange keptRange;

    // Finds the focused text element and its selection and keeps them for `pass`, when the element
    // can take the selection back and the pass was not cancelled meanwhile.
    bool keepSelection(std::optional<qint64> targetProcessId, const CaretRevealToken &token, quint64 pass)
    {
        release(); // a pass that was not written back keeps nothing past the next one
        if (!token || token->isCancelled())
            return false;
        AccessibleElementRef element = locator.focusedTextElement(targetProcessId);
        if (!element)
            return false;
        const std::optional<AccessibleTextRange> range = element->selectedTextRange();
        if (!range || !element->isSelectedTextRangeSettable() || token->isCancelled())
            return false;
        keptPass = pass;
        keptElement = std::move(element);
        keptRange = *range;
        return true;
    }

    // Writing the selection back, unchanged, makes the application draw its caret again.
    void writeBack(const CaretRevealToken &token, quint64 pass)
    {
        if (keptElement && keptPass == pass && !token->isCancelled())
            keptElement->setSelectedTextRange(keptRange);
        release();
    }

    void release()
    {
        keptElement.reset();
        keptPass = 0;
    }
};

namespace {

// Answers from the tree's thread wait here for the main thread. Qt's event queue would order the
// hand-over too, but with locks that ThreadSanitizer cannot see (Qt is not instrumented), which
// makes every answer look like a race; so the answers pass under a lock of this program's own, and
// the queued call that tells the main thread to collect them carries nothing.
class MainThreadInbox final : public QObject {
    Q_OBJECT

public:
    // Made on first use and kept for the whole process.
    static MainThreadInbox &instance()
    {
        static MainThreadInbox *const inbox = [] {
            auto *made = new MainThreadInbox;
            made->moveToThread(QCoreApplication::instance()->thread());
            return made;
        }();
        return *inbox;
    }

    // The answer runs, and is destroyed, on the main thread.
    void post(std::function<void()> answer)
    {
        {
            std::lock_guard guard(lock);
            answers.push_back(std::move(answer));
        }
        QMetaObject::invokeMethod(this, "deliver", Qt::QueuedConnection);
    }

private:
    Q_INVOKABLE void deliver()
    {
        std::deque<std::function<void()>> ready;
        {
            std::lock_guard guard(lock);
            ready.swap(answers);
        }
        for (std::function<void()> &answer : ready)
            answer();
    }

    std::mutex lock;
    std::deque<std::function<void()>> answers;
};

void onMainThread(std::function<void()> answer)
{
    MainThreadInbox::instance().post(std::move(answer));
}

} // namespace

AccessibilityCaretRevealer::AccessibilityCaretRevealer(AccessibilityTree &tree, const RevealState &revealState, CaretLocator::Clock clock)
    : tree(tree)
    , revealState(revealState)
    , lookupSide(std::make_shared<LookupSide>(tree, std::move(clock)))
{
    MainThreadInbox::instance(); // made here, on the main thread
}

AccessibilityCaretRevealer::~AccessibilityCaretRevealer()
{
    // Work still queued holds the side only weakly; the last reference goes on the tree's thread.
    tree.perform([side = std::move(lookupSide)]() mutable { side.reset(); });
}

void AccessibilityCaretRevealer::performLookup(std::function<void(CaretLocator &)> lookup)
{
    tree.perform([side = std::weak_ptr(lookupSide), lookup = std::move(lookup)] {
        if (const std::shared_ptr<LookupSide> lookupSide = side.lock())
            lookup(lookupSide->locator);
    });
}

void AccessibilityCaretRevealer::answerOnMainThread(std::function<void()> answer)
{
    onMainThread(std::move(answer));
}

void AccessibilityCaretRevealer::revealCaret(std::optional<qint64> targetProcessId, quint64 sequence, std::function<void(bool)> completion)
{
    // The token is the one active when the pass was asked for: a restart in between replaces it.
    const CaretRevealToken token = revealState.activeRevealCancellation;
    const quint64 pass = ++revealPasses;
    const QPointer<AccessibilityCaretRevealer> self(this);
    const std::weak_ptr<LookupSide> side = lookupSide;

    tree.perform([self, side, targetProcessId, sequence, token, pass, completion = std::move(completion)]() mutable {
        const std::shared_ptr<LookupSide> lookupSide = side.lock();
        const bool kept = lookupSide && lookupSide->keepSelection(targetProcessId, token, pass);
        onMainThread([self, side, sequence, token, pass, kept, completion = std::move(completion)]() mutable {
            if (!self)
                return;
            const bool stillCurrent = self->revealState.isCurrent(sequence, token);
            if (!kept) {
                completion(stillCurrent);
                return;
            }
            if (!stillCurrent) {
                self->tree.perform([side, pass] {
                    if (const std::shared_ptr<LookupSide> lookupSide = side.lock(); lookupSide && lookupSide->keptPass == pass)
                        lookupSide->release();
                });
                completion(false);
                return;
            }
            self->tree.perform([self, side, sequence, token, pass, completion = std::move(completion)]() mutable {
                if (const std::shared_ptr<LookupSide> lookupSide = side.lock())
                    lookupSide->writeBack(token, pass);
                onMainThread([self, sequence, token, completion = std::move(completion)] {
                    if (self)
                        completion(self->revealState.isCurrent(sequence, token));
                });
            });
        });
    });
}

#include "CaretLocator.moc"
