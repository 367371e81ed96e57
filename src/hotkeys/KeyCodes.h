#pragma once

#include <QString>

#include <optional>

// Key positions in three numberings: the virtual key codes a Shortcut stores (2 = D, 53 = Escape),
// the Linux evdev codes (an X key code is the evdev code + 8) and Qt::Key values of the US layout.
// Each function answers nothing for a key the table does not hold.
std::optional<quint32> macVirtualKeyCode(int evdevCode);
std::optional<int> evdevCode(quint32 macVirtualKeyCode);
std::optional<quint32> macVirtualKeyCodeForQtKey(int qtKey);
// The label of a letter, digit, punctuation or keypad key on a US keyboard ("D", "5", ";",
// "Num+5"), whatever the layout in use; empty for the other keys.
QString usLayoutLabel(quint32 macVirtualKeyCode);
