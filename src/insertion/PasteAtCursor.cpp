#include "PasteAtCursor.h"

#include "CaretReveal.h"
#include "platform/Alerts.h"
#include "platform/FrontmostApplication.h"
#include "platform/HeldHotKeys.h"
#include "support/Log.h"
#include "support/StartupTrace.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QPointer>
#include <QTimer>

#include <memory>

PasteAtCursor::PasteAtCursor(KeySynthesizer &keys, HeldHotKeys &heldHotKeys, FrontmostApplication &frontmost, Alerts &alerts,
                             RevealState &revealState, CaretRevealer &revealer, QObject *parent)
    : QObject(parent)
    , keys(keys)
    , heldHotKeys(heldHotKeys)
    , frontmost(frontmost)
    , alerts(alerts)
    , revealState(revealState)
    , revealer(revealer)
{
}

void PasteAtCursor::pasteAtCapturedCursor(const QString &text, const InsertionTarget &target, std::function<void()> completion)
{
    // The transcript replaces whatever was on the clipboard and stays there afterwards; Murmex keeps
    // owning the clipboard, so the target can fetch it whenever it handles the paste.
    if (auto *clipboard = QGuiApplication::clipboard())
        clipboard->setText(text, QClipboard::Clipboard);

    if (!keys.trusted()) {
        keys.promptForTrust();
        alerts.showWarning(QStringLiteral("Texto copiado"),
                           QStringLiteral("La transcripción está en el portapapeles: pégala con Ctrl+V. Para que Murmex la pegue "
                                          "automáticamente, usa una sesión X11 cuyo servidor tenga la extensión XTEST."),
                           {QStringLiteral("Aceptar")});
        completion();
        return;
    }

    const quint64 sequence = revealState.restart();
    // The keystroke is posted from the event loop, never from inside the caller's call.
    QTimer::singleShot(0, this, [this, text, target, sequence, completion = std::move(completion)] {
        afterHotKeysReleased([this, text, target, sequence, completion](bool released) {
            if (released) {
                postPasteAndReveal(text, target, sequence, completion);
                return;
            }
            Log::write(QStringLiteral("[MurmexInsertion] El atajo sigue pulsado tras %1 ms: el texto queda en el portapapeles.")
                           .arg(heldHotKeyLimit.count()));
            emit textLeftOnClipboard(text, QStringLiteral("El atajo seguía pulsado."));
            completion();
        });
    });
}

void PasteAtCursor::afterHotKeysReleased(std::function<void(bool released)> then)
{
    if (!heldHotKeys.isHotKeyHeld()) {
        then(true);
        return;
    }
    // Whichever comes first, the release or the limit, answers; the other finds it answered.
    auto answered = std::make_shared<bool>(false);
    auto answer = [answered, then = std::move(then)](bool released) {
        if (std::exchange(*answered, true))
            return;
        then(released);
    };
    QTimer::singleShot(heldHotKeyLimit, this, [answer] { answer(false); });
    heldHotKeys.whenHotKeysReleased(this, [answer] { answer(true); });
}

namespace {

QString describeWindow(const FocusedWindow &window)
{
    const QString id = QStringLiteral("0x%1").arg(window.window, 0, 16);
    return window.processId ? QStringLiteral("%1 del pid %2").arg(id).arg(*window.processId) : id;
}

} // namespace

std::optional<FocusedWindow> PasteAtCursor::focusElsewhere(const InsertionTarget &target)
{
    if (!target.window)
        return std::nullopt;
    const FocusedWindow focused = frontmost.focusedWindow();
    // The server can hand a window id to another program once its owner has gone: where both
    // windows name their process, the processes must match too.
    if (focused.window == target.window && (!focused.processId || !target.processId || *focused.processId == *target.processId))
        return std::nullopt;
    return focused;
}

void PasteAtCursor::postPasteAndReveal(const QString &text, const InsertionTarget &target, quint64 sequence,
                                       const std::function<void()> &completion)
{
    // The focus is looked at after the last wait, the one for the modifiers the user still holds:
    // whatever window has it then gets the keys.
    keys.releaseHeldModifiers();
    const KeySynthesizer::PasteKeys pasteKeys = keys.pasteKeys(target.processId);
    if (const std::optional<FocusedWindow> elsewhere = focusElsewhere(target)) {
        Log::write(QStringLiteral("[MurmexInsertion] El foco está en otra ventana (%1, no %2): el texto queda en el portapapeles.")
                       .arg(describeWindow(*elsewhere), describeWindow(target)));
        emit textLeftOnClipboard(text, QStringLiteral("El foco pasó a otra ventana."));
        completion();
        return;
    }
    if (pasteKeys == KeySynthesizer::PasteKeys::shiftInsert) {
        if (auto *clipboard = QGuiApplication::clipboard())
            clipboard->setText(text, QClipboard::Selection);
    }
    const KeySynthesizer::Delivery delivery = keys.postPaste(target.processId, pasteKeys);
    traceRecordingStartup(QStringLiteral("keys-posted"));
    if (delivery == KeySynthesizer::Delivery::focusElsewhere)
        emit textLeftOnClipboard(text, QStringLiteral("El foco pasó a otro programa."));
    else if (delivery == KeySynthesizer::Delivery::failed)
        emit textLeftOnClipboard(text, QStringLiteral("No se pudieron enviar las teclas para pegarlo."));

    QPointer<PasteAtCursor> self(this);
    completion();
    if (!self)
        return;
    // A terminal emulator would pass the nudge's arrow keys on to the program running in it.
    if (delivery != KeySynthesizer::Delivery::posted || pasteKeys != KeySynthesizer::PasteKeys::controlV)
        return;
    QTimer::singleShot(firstRevealDelay, Qt::PreciseTimer, this, [this, target, sequence] { runRevealPass(target, sequence, true); });
    QTimer::singleShot(secondRevealDelay, Qt::PreciseTimer, this, [this, target, sequence] { runRevealPass(target, sequence, false); });
}

bool PasteAtCursor::isRevealSequenceCurrent(quint64 sequence) const
{
    return revealState.revealGeneration == sequence && revealState.activeRevealCancellation
        && !revealState.activeRevealCancellation->isCancelled();
}

void PasteAtCursor::runRevealPass(const InsertionTarget &target, quint64 sequence, bool nudgeWhenCurrent)
{
    // A later paste, or the indicator starting over, has made this sequence stale.
    if (!isRevealSequenceCurrent(sequence))
        return;
    QPointer<PasteAtCursor> self(this);
    revealer.revealCaret(target.processId, sequence, [self, target, sequence, nudgeWhenCurrent](bool stillCurrent) {
        // The nudge depends only on the pass still being current, not on whether a text element
        // was found: it moves the caret one character left and back, which makes it visible.
        if (!self || !stillCurrent || !nudgeWhenCurrent)
            return;
        self->afterHotKeysReleased([self, target, sequence](bool released) {
            if (!self || !released || !self->isRevealSequenceCurrent(sequence))
                return;
            // The arrow keys would move the caret of whatever window has the focus.
            self->keys.releaseHeldModifiers();
            if (!self->focusElsewhere(target))
                self->keys.postNudge(target.processId);
        });
    });
}
