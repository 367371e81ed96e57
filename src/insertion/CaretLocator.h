#pragma once

#include "insertion/CaretReveal.h"
#include "platform/AccessibilityTree.h"

#include <QObject>
#include <QRectF>

#include <functional>
#include <optional>

// Finds the focused text element of an application and the screen rectangle of its caret.
//
// Not thread-safe: one instance belongs to the thread of its accessibility tree, which alone calls it
// and alone touches the element cache.
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

// Reveal passes through the accessibility tree. On the tree's thread, find the focused text element
// and its selection and keep them there; on the main thread, check that the pass is still current;
// if so, back on the tree's thread (checking the token again), write the kept selection back so that
// the application draws its caret again, and report true on the main thread; otherwise report false.
// Elements never leave the tree's thread; the main thread only sees booleans.
//
// The locator is shared with whoever else looks up the caret (the recording indicator) through
// performLookup(), which runs on the same thread.
class AccessibilityCaretRevealer final : public QObject, public CaretRevealer {
public:
    AccessibilityCaretRevealer(AccessibilityTree &tree, const RevealState &revealState, CaretLocator::Clock clock = {});
    // The locator and what a pass keeps are released on the tree's thread.
    ~AccessibilityCaretRevealer() override;

    void revealCaret(std::optional<qint64> targetProcessId, quint64 sequence, std::function<void(bool stillCurrent)> completion) override;

    // Runs `lookup` on the tree's thread with the shared locator, after the work handed over before
    // it; dropped if the revealer is gone by then. Answers go back to the caller's thread as copies.
    // A caller that looks up periodically keeps one lookup in flight: the next one is asked for once
    // the previous one has answered.
    void performLookup(std::function<void(CaretLocator &locator)> lookup);
    // Hands `answer` to the main thread, where it runs, and is destroyed, in a later turn of the event
    // loop; called from a lookup to send its copies back.
    static void answerOnMainThread(std::function<void()> answer);

private:
    struct LookupSide; // touched on the tree's thread only

    AccessibilityTree &tree;
    const RevealState &revealState;
    std::shared_ptr<LookupSide> lookupSide;
    quint64 revealPasses = 0;
};
