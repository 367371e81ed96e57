#pragma once

#include <QObject>

#include <functional>

// Whether a key of Murmex's own global hot keys is still held down. While one is, the window system
// sends every key event of the keyboard to Murmex's grab (X11: the passive grab turned active on the
// press and ends on the release), so a synthetic key posted then never reaches the focused program.
// Synthetic keys are therefore posted only once the hot key has been let go.
class HeldHotKeys {
public:
    virtual ~HeldHotKeys() = default;

    virtual bool isHotKeyHeld() const = 0;
    // Calls `released` on the main thread once no hot key is held (at once, from the event loop, when
    // none is). Dropped unanswered when `context` is destroyed first.
    virtual void whenHotKeysReleased(QObject *context, std::function<void()> released) = 0;
};
