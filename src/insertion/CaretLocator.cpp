#include "CaretLocator.h"

#include <QMetaObject>
#include <QPointer>

#include <algorithm>
#include <chrono>
#include <limits>

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

AccessibilityCaretRevealer::AccessibilityCaretRevealer(AccessibilityTree &tree, const RevealState &revealState, CaretLocator::Clock clock)
    : revealState(revealState)
    , caretLocator(tree, std::move(clock))
    , caretLookupQueue(QStringLiteral("com.tarvo.murmex.caret-lookup"))
{
}

AccessibilityCaretRevealer::~AccessibilityCaretRevealer() = default;

void AccessibilityCaretRevealer::revealCaret(std::optional<qint64> targetProcessId, quint64 sequence, std::function<void(bool)> completion)
{
    // The token is the one active when the pass was asked for: a restart in between replaces it.
    CaretRevealToken token = revealState.activeRevealCancellation;
    QPointer<QObject> guard(&context);

    auto report = [this, guard, sequence, token, completion](AccessibleElementRef element, std::optional<AccessibleTextRange> range) {
        QMetaObject::invokeMethod(
            &context,
            [this, guard, sequence, token, completion, element = std::move(element), range] {
                if (!guard)
                    return;
                const bool stillCurrent = revealState.isCurrent(sequence, token);
                // Writing the selection back, unchanged, makes the application draw its caret again.
                if (stillCurrent && element && range)
                    element->setSelectedTextRange(*range);
                completion(stillCurrent);
            },
            Qt::QueuedConnection);
    };

    caretLookupQueue.async([this, targetProcessId, token, report] {
        if (!token || token->isCancelled()) {
            report(nullptr, std::nullopt);
            return;
        }
        AccessibleElementRef element = caretLocator.focusedTextElement(targetProcessId);
        std::optional<AccessibleTextRange> range;
        if (element) {
            range = element->selectedTextRange();
            if (!range || !element->isSelectedTextRangeSettable()) {
                element.reset();
                range.reset();
            }
        }
        if (token->isCancelled()) {
            report(nullptr, std::nullopt);
            return;
        }
        report(std::move(element), range);
    });
}
