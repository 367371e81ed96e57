#pragma once

#include "hotkeys/HotKeys.h"
#include "platform/HeldHotKeys.h"

#include <memory>

// Global hot keys on X11: key grabs on the root window over a connection of their own, so that
// the grabs and the key events they bring never mix with Qt's. The connection is read on the main
// thread and every listener call is queued there.
//
// Each hot key carries an identity (signature, id); a key event is looked up in the registry of
// grabbed combinations and handled by its identity:
//   dictation key (id 1): press and release, repeated presses while it is held
//   abort key (id 2, Escape without modifiers): press only
// A shortcut's key is found by its position on the keyboard (see hotkeys/KeyCodes.h); its Super
// bit is Mod4, its Alt bit Mod1. Each combination is also grabbed with Caps Lock and Num
// Lock on, and the connection asks XKB for detectable auto-repeat, so a held key gives repeated
// presses and a single release. A dictation shortcut without Control, Alt or Super is never
// grabbed, and in a Wayland session none is: there X11 grabs miss the keys of Wayland programs.
class X11HotKeys final : public HotKeys, public HeldHotKeys {
public:
    static constexpr quint32 murmexHotKeySignature = 0x4D524D58; // "MRMX"
    static constexpr quint32 murmexHotKeyID = 1;
    static constexpr quint32 murmexAbortHotKeyID = 2;

    X11HotKeys();
    ~X11HotKeys() override;

    void installHandler(HotKeyListener &listener) override;
    // Also ungrabs every hot key and removes the Escape monitors.
    void removeHandler() override;
    [[nodiscard]] Registration registerDictationHotKey(const Shortcut &shortcut) override;
    void unregisterDictationHotKey() override;
    [[nodiscard]] QString unsupportedExplanation() const override;
    [[nodiscard]] bool registerAbortHotKey() override;
    // Also removes the Escape monitors.
    void unregisterAbortHotKey() override;
    // Global: XInput2 raw key presses on the root window, seen even while another client holds a
    // grab. Local: an event filter on the application that takes Escape before any widget does.
    void installAbortKeyMonitorFallback() override;

    // True between a hot key's press and its release, as this connection received them: the
    // release arrives only after the X server has ended the grab.
    bool isHotKeyHeld() const override;
    void whenHotKeysReleased(QObject *context, std::function<void()> released) override;

private:
    struct Private;
    std::unique_ptr<Private> d;
};
