#pragma once

#include <QtGlobal>

#include <optional>

// Synthetic key presses into another application: the paste shortcut and a one-character caret
// nudge. Events go to the target process; with no target (or where the window system cannot
// address a process) they go to whatever has the keyboard focus.
class KeySynthesizer {
public:
    virtual ~KeySynthesizer() = default;
    // Whether synthetic key events can be delivered at all.
    virtual bool trusted() = 0;
    // Asks the system to allow them from now on; harmless where there is nothing to ask.
    virtual void promptForTrust() = 0;
    // The paste shortcut, or the terminal emulators' variant of it.
    virtual void postPaste(std::optional<qint64> targetProcessId, bool useTerminalShortcut) = 0;
    // Left arrow then right arrow: the caret goes one character left and back.
    virtual void postNudge(std::optional<qint64> targetProcessId) = 0;
    // Whether the target is a terminal emulator, which pastes with a shortcut of its own.
    virtual bool isTerminal(std::optional<qint64> targetProcessId) = 0;
};
