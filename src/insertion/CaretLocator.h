#pragma once

#include "insertion/CaretReveal.h"
#include "platform/AccessibilityTree.h"
#include "support/SerialQueue.h"

#include <QObject>
#include <QRectF>

#include <functional>
#include <optional>

// Finds the focused text element of an application and the screen rectangle of its caret.
//
// Not thread-safe: one instance belongs to the caret-lookup queue, which alone calls it and alone
// touches the element cache.
class CaretLocator {
public:
    // Seconds of monotonic uptime; injected so tests can move time.
    using Clock = std::function<double()>;

    struct Candidate {
        AccessibleElementRef element;
        int score = 0;
    };

    static constexpr int focusedSearchMaxDepth = 14;
    static constexpr int candidateSearchMaxDepth = 16;
    static constexpr int focusedElementSearchBudget = 1600;
    static constexpr int focusedWindowSearchBudget = 800;
    static constexpr int candidateSearchBudget = 1600;
    static constexpr double deepSearchRetryInterval = 0.5;

    explicit CaretLocator(AccessibilityTree &tree, Clock clock = {});

    // The caret of the application's focused text element, reusing the cached element between
    // full searches, which run at most every `deepSearchRetryInterval`.
    std::optional<QRectF> focusedCaretBounds(std::optional<qint64> processId);
    void clearCache();

    AccessibleElementRef focusedTextElement(std::optional<qint64> processId);
    // Depth-first, pre-order: the first focused, text-capable element. `remainingElements` is
    // shared by the whole search and spent one unit per element visited.
    AccessibleElementRef findFocusedTextElement(const AccessibleElementRef &element, int depth, int &remainingElements);
    // Depth-first over the whole subtree: the best-scoring text-capable element; of equal scores
    // the first one found stays.
    void findBestTextCandidate(const AccessibleElementRef &element, int depth, int &remainingElements, Candidate &best);

    static int candidateScore(AccessibleElement &element);
    static bool isTextCapable(AccessibleElement &element);
    static std::optional<QRectF> caretBounds(AccessibleElement &element);
    static std::optional<QRectF> bounds(AccessibleTextRange range, AccessibleElement &element);
    static std::optional<QRectF> fallbackCaretBounds(AccessibleElement &element);

    const AccessibleElementRef &cachedElement() const { return cachedTextElement; }

private:
    AccessibleElementRef focusedElementOfApplication(qint64 processId);

    AccessibilityTree &tree;
    Clock clock;
    AccessibleElementRef cachedTextElement;
    std::optional<qint64> cachedTextElementPID;
    double lastTextElementSearchUptime;
};

// Reveal passes through the accessibility tree: on the caret-lookup queue, find the focused text
// element and its selection; back on the main thread, if the pass is still current, write the
// selection back so that the application draws its caret again.
//
// The locator and the queue are shared with whoever else looks up the caret (the recording
// indicator); the locator may only be used from blocks on `lookupQueue()`.
class AccessibilityCaretRevealer final : public CaretRevealer {
public:
    AccessibilityCaretRevealer(AccessibilityTree &tree, const RevealState &revealState, CaretLocator::Clock clock = {});
    ~AccessibilityCaretRevealer() override;

    void revealCaret(std::optional<qint64> targetProcessId, quint64 sequence, std::function<void(bool stillCurrent)> completion) override;

    SerialQueue &lookupQueue() { return caretLookupQueue; }
    CaretLocator &locator() { return caretLocator; }

private:
    const RevealState &revealState;
    QObject context; // main-thread answers die with the revealer
    CaretLocator caretLocator;
    SerialQueue caretLookupQueue; // declared last: drained and joined before the rest goes away
};
