#pragma once

#include <QColor>

#include <optional>

// The foreground colour the system tray publishes for its icons (_NET_SYSTEM_TRAY_COLORS on the
// window that owns the tray selection of the default X screen). Empty when the program does not
// run on X11, when no tray runs, or when the tray publishes no colours.
std::optional<QColor> trayForegroundColor();
