#pragma once

#include <QString>

class Settings;

// The dictation shortcut: a key code in the virtual-key numbering (2 = D, 53 = Escape) and a
// modifier mask (control 0x1000, option = Alt 0x800, shift 0x200, command = Super 0x100), the
// numbering of the stored settings. `display` is the text shown to the user, always derived from
// the two: "Ctrl+Alt+Super+D".
struct Shortcut {
    static constexpr quint32 controlMask = 0x1000, altMask = 0x800, shiftMask = 0x200, superMask = 0x100;

    quint32 keyCode = 2;
    quint32 modifiers = controlMask | altMask | superMask;
    QString display = displayText(keyCode, modifiers);

    static Shortcut defaultShortcut() { return {}; }

    // Modifier names in the order Linux desktops list them (Ctrl, Alt, Shift, Super), each
    // followed by "+", then the key's name.
    static QString displayText(quint32 keyCode, quint32 modifiers);
    // The name of a key: the word on a Spanish keyboard for the keys that print nothing ("Intro",
    // "AvPág", "F5"), the US-layout label for the others ("D", ";"); empty for an unknown position.
    static QString keyName(quint32 keyCode);

    // A combination without Control, Alt or Super would take a key from every other program;
    // Shift alone does not make one.
    static bool hasControlAltOrSuper(quint32 modifiers) { return modifiers & (controlMask | altMask | superMask); }

    // The stored shortcut, or the whole default when none is stored or the stored one is
    // incomplete, unreadable, out of range or without Control, Alt or Super (logged).
    static Shortcut load(const Settings &settings);
    void save(Settings &settings) const;

    bool operator==(const Shortcut &) const = default;
};
