#pragma once

#include <QtGlobal>

#include <optional>

// Synthetic key presses into another application: the paste shortcut and a one-character caret
// nudge. Events go to the target process; with no target (or where the window system cannot
// address a process) they go to whatever has the keyboard focus.
class KeySynthesizer {
public:
    // The keys that make the focused program paste: most programs paste the clipboard with Ctrl+V,
    // terminal emulators with Ctrl+Shift+V (Ctrl+V reaches the shell as a literal ^V), and xterm
    // pastes only the primary selection, with Shift+Insert.
    enum class PasteKeys { controlV, controlShiftV, shiftInsert };
    // What became of a paste: posted, or not posted because the keyboard focus is in another
    // program than the target (the text then stays on the clipboard), or because the keys could not
    // be posted at all.
    enum class Delivery { posted, focusElsewhere, failed };

    virtual ~KeySynthesizer() = default;
    // Whether synthetic key events can be delivered at all.
    virtual bool trusted() = 0;
    // Asks the system to allow them from now on; harmless where there is nothing to ask.
    virtual void promptForTrust() = 0;
    // The paste keys of the program that has the keyboard focus (or of the target process).
    virtual PasteKeys pasteKeys(std::optional<qint64> targetProcessId) = 0;
    [[nodiscard]] virtual Delivery postPaste(std::optional<qint64> targetProcessId, PasteKeys keys) = 0;
    // Left arrow then right arrow: the caret goes one character left and back.
    virtual void postNudge(std::optional<qint64> targetProcessId) = 0;
    // Waits briefly for the modifier keys the user still holds (from the dictation shortcut) and
    // releases those still down. postPaste and postNudge do it too; a caller that wants to look at the
    // focus after that wait calls it first.
    virtual void releaseHeldModifiers() {}
};
