#pragma once

#include "support/CancellationToken.h"

#include <QObject>
#include <QtGlobal>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

// The token of one sequence of caret reveal passes, shared by the main thread and the caret-lookup
// queue; a new sequence gets a new token.
using CaretRevealCancellation = CancellationToken;
using CaretRevealToken = std::shared_ptr<CaretRevealCancellation>;

// Which sequence of reveal passes is the current one. Owned and touched by the main thread only: a
// pass acts only while the generation it was started with is still `revealGeneration` and its token
// is still `activeRevealCancellation`, uncancelled.
struct RevealState {
    quint64 revealGeneration = 0;
    CaretRevealToken activeRevealCancellation;

    // A paste starts a new sequence: the old token is cancelled, the counter moves on, a fresh token
    // is installed. Returns the new generation.
    quint64 restart();
    // Preparing or showing the indicator ends the sequence without starting another.
    void cancelCaretRevealSequence();
    bool isCurrent(quint64 sequence, const CaretRevealToken &token) const;
};

// One reveal pass: make the target application show its caret again (re-apply the focused text
// element's selection where it can). `completion` runs on the main thread with true when the pass
// was still current when it finished, false when it was cancelled or overtaken.
class CaretRevealer {
public:
    virtual ~CaretRevealer() = default;
    virtual void revealCaret(std::optional<qint64> targetProcessId, quint64 sequence, std::function<void(bool stillCurrent)> completion) = 0;
};

// Stand-in until the caret lookup exists: there is no selection to re-apply, so a pass only answers
// whether it is still current, one main-loop turn later as a real lookup would.
class UnavailableCaretRevealer final : public CaretRevealer {
public:
    explicit UnavailableCaretRevealer(const RevealState &revealState);
    void revealCaret(std::optional<qint64> targetProcessId, quint64 sequence, std::function<void(bool stillCurrent)> completion) override;

private:
    const RevealState &revealState;
    QObject context; // queued answers die with the revealer
};
