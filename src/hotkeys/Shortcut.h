#pragma once

#include <QString>

class Settings;

// The dictation shortcut: a key code in the virtual-key numbering (2 = D, 53 = Escape), a
// modifier mask (control 0x1000, option 0x800, shift 0x200, command 0x100) and the glyph text
// shown to the user.
struct Shortcut {
    quint32 keyCode = 2;
    quint32 modifiers = 0x1900;
    QString display = QStringLiteral("⌃⌥⌘D");

    static Shortcut defaultShortcut() { return {}; }

    // The stored shortcut, or the default when it is absent, incomplete or out of range.
    static Shortcut load(const Settings &settings);
    void save(Settings &settings) const;

    bool operator==(const Shortcut &) const = default;
};
