#pragma once

#include <QtGlobal>

#include <optional>

// Key positions in three numberings: the virtual key codes a Shortcut stores (2 = D, 53 = Escape),
// the Linux evdev codes (an X key code is the evdev code + 8) and Qt::Key values of the US layout.
// Each function answers nothing for a key the table does not hold.
std::optional<quint32> macVirtualKeyCode(int evdevCode);
std::optional<int> evdevCode(quint32 macVirtualKeyCode);
std::optional<quint32> macVirtualKeyCodeForQtKey(int qtKey);
