#pragma once

#include "TextInsertion.h"
#include "platform/KeySynthesizer.h"

#include <QObject>

#include <chrono>

class Alerts;
class CaretRevealer;
class FrontmostApplication;
class HeldHotKeys;
struct RevealState;

// Delivers a transcript into the window the user dictated into: the text goes on the clipboard, the
// paste shortcut is synthesised into the target and, a little later, two caret reveal passes make
// the target show its caret again (the first one nudges it left and right). Where synthetic keys are
// not allowed the text stays on the clipboard and the user is told how to allow them.
//
// Every synthetic key waits until Murmex's own hot key has been let go: until then the window
// system hands all keys to Murmex's grab and the target would never see them. A hot key held longer
// than the held-key limit (10 s) leaves the text on the clipboard instead. Terminal emulators get no reveal
// passes: the nudge's arrow keys would reach the program running in them.
//
// Keys go to whichever window has the focus when they are posted, so right before them, after every
// wait, the focus must still be on the target window; otherwise the text stays on the clipboard. A
// target without a window (none had the focus when the dictation started) is not checked: its keys
// go to whatever window has the focus then.
class PasteAtCursor final : public QObject, public TextInsertion {
    Q_OBJECT
public:
    // Both passes are timed from the moment the completion has returned.
    static constexpr std::chrono::milliseconds firstRevealDelay{160};
    static constexpr std::chrono::milliseconds secondRevealDelay{480};
    static constexpr std::chrono::milliseconds defaultHeldHotKeyLimit{10000};

    PasteAtCursor(KeySynthesizer &keys, HeldHotKeys &heldHotKeys, FrontmostApplication &frontmost, Alerts &alerts, RevealState &revealState,
                  CaretRevealer &revealer, QObject *parent = nullptr);

    void pasteAtCapturedCursor(const QString &text, const InsertionTarget &target, std::function<void()> completion) override;
    void setHeldHotKeyLimit(std::chrono::milliseconds limit) { heldHotKeyLimit = limit; }

signals:
    // The text was not pasted and waits on the clipboard; `reason` tells the user why.
    void textLeftOnClipboard(const QString &text, const QString &reason);

private:
    // Runs `then` once no hot key of Murmex's is held, with false when that took longer than the limit.
    void afterHotKeysReleased(std::function<void(bool released)> then);
    void postPasteAndReveal(const QString &text, const InsertionTarget &target, quint64 sequence, const std::function<void()> &completion);
    void runRevealPass(const InsertionTarget &target, quint64 sequence, bool nudgeWhenCurrent);
    bool isRevealSequenceCurrent(quint64 sequence) const;
    // The window that has the focus when it is not the target's (keys posted now would go there);
    // none while the target keeps it, or when the target has no window.
    std::optional<FocusedWindow> focusElsewhere(const InsertionTarget &target);

    KeySynthesizer &keys;
    HeldHotKeys &heldHotKeys;
    FrontmostApplication &frontmost;
    Alerts &alerts;
    RevealState &revealState;
    CaretRevealer &revealer;
    std::chrono::milliseconds heldHotKeyLimit = defaultHeldHotKeyLimit;
};
