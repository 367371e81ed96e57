#pragma once

#include "support/Error.h"

#include <QString>

// "Abrir al iniciar sesión": the freedesktop autostart entry
// $XDG_CONFIG_HOME/autostart/murmex.desktop, which the session starts at login.
namespace Autostart {

QString entryPath();
// True when the entry exists and is not switched off (Hidden=true or
// X-GNOME-Autostart-enabled=false written by a desktop's own settings).
bool isEnabled();
// Writes the entry for `executable` (the running bundle's program) and `icon`, atomically.
[[nodiscard]] Expected<void> enable(const QString &executable, const QString &icon);
// Removes the entry; an absent one is fine.
[[nodiscard]] Expected<void> disable();
// The entry's text; `Exec` quotes the program as the desktop entry format asks.
QString entryText(const QString &executable, const QString &icon);

} // namespace Autostart
