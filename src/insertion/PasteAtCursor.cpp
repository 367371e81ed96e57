#include "PasteAtCursor.h"

#include "CaretReveal.h"
#include "platform/Alerts.h"
#include "platform/KeySynthesizer.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QPointer>
#include <QTimer>

PasteAtCursor::PasteAtCursor(KeySynthesizer &keys, Alerts &alerts, RevealState &revealState, CaretRevealer &revealer, QObject *parent)
    : QObject(parent)
    , keys(keys)
    , alerts(alerts)
    , revealState(revealState)
    , revealer(revealer)
{
}

void PasteAtCursor::pasteAtCapturedCursor(const QString &text, std::optional<qint64> targetProcessId, std::function<void()> completion)
{
    // The transcript replaces whatever was on the clipboard and stays there afterwards; Murmex keeps
    // owning the clipboard, so the target can fetch it whenever it handles the paste.
    if (auto *clipboard = QGuiApplication::clipboard())
        clipboard->setText(text, QClipboard::Clipboard);

    if (!keys.trusted()) {
        keys.promptForTrust();
        alerts.showWarning(QStringLiteral("Texto copiado"),
                           QStringLiteral("La transcripción está en el portapapeles. Autoriza Murmex en Privacidad y seguridad → "
                                          "Accesibilidad para pegarla automáticamente."),
                           {QStringLiteral("Aceptar")});
        completion();
        return;
    }

    const quint64 sequence = revealState.restart();
    // The keystroke is posted from the event loop, never from inside the caller's call.
    QTimer::singleShot(0, this, [this, targetProcessId, sequence, completion = std::move(completion)] {
        postPasteAndReveal(targetProcessId, sequence, completion);
    });
}

void PasteAtCursor::postPasteAndReveal(std::optional<qint64> target, quint64 sequence, const std::function<void()> &completion)
{
    keys.postPaste(target, keys.isTerminal(target));
    QPointer<PasteAtCursor> self(this);
    completion();
    if (!self)
        return;
    QTimer::singleShot(firstRevealDelay, Qt::PreciseTimer, this, [this, target, sequence] { runRevealPass(target, sequence, true); });
    QTimer::singleShot(secondRevealDelay, Qt::PreciseTimer, this, [this, target, sequence] { runRevealPass(target, sequence, false); });
}

void PasteAtCursor::runRevealPass(std::optional<qint64> target, quint64 sequence, bool nudgeWhenCurrent)
{
    // A later paste, or the indicator starting over, has made this sequence stale.
    if (revealState.revealGeneration != sequence || !revealState.activeRevealCancellation)
        return;
    QPointer<PasteAtCursor> self(this);
    revealer.revealCaret(target, sequence, [self, target, nudgeWhenCurrent](bool stillCurrent) {
        // The nudge depends only on the pass still being current, not on whether a text element
        // was found: it moves the caret one character left and back, which makes it visible.
        if (self && stillCurrent && nudgeWhenCurrent)
            self->keys.postNudge(target);
    });
}
