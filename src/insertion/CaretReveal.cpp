#include "CaretReveal.h"

#include <QTimer>

quint64 RevealState::restart()
{
    if (activeRevealCancellation)
        activeRevealCancellation->cancel();
    ++revealGeneration;
    activeRevealCancellation = std::make_shared<CaretRevealCancellation>();
    return revealGeneration;
}

void RevealState::cancelCaretRevealSequence()
{
    if (activeRevealCancellation)
        activeRevealCancellation->cancel();
    activeRevealCancellation.reset();
    ++revealGeneration;
}

bool RevealState::isCurrent(quint64 sequence, const CaretRevealToken &token) const
{
    return token && token == activeRevealCancellation && sequence == revealGeneration && !token->isCancelled();
}

UnavailableCaretRevealer::UnavailableCaretRevealer(const RevealState &revealState)
    : revealState(revealState)
{
}

void UnavailableCaretRevealer::revealCaret(std::optional<qint64>, quint64 sequence, std::function<void(bool)> completion)
{
    // The token is the one active when the pass was asked for: a restart in between replaces it.
    QTimer::singleShot(0, &context, [this, sequence, token = revealState.activeRevealCancellation, completion = std::move(completion)] {
        completion(revealState.isCurrent(sequence, token));
    });
}
