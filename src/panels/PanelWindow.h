#pragma once

#include <QKeyEvent>
#include <QScreen>
#include <QWidget>

// What Murmex's small windows (the shortcut, dictionary and volume panels) share.
namespace PanelWindow {

// Shows the panel in front; the first time, centred on the visible area of its screen.
inline void present(QWidget &panel, bool &hasBeenPlaced)
{
    if (!hasBeenPlaced) {
        const QRect area = panel.screen()->availableGeometry();
        panel.move(area.center() - QPoint(panel.width() / 2, panel.height() / 2));
        hasBeenPlaced = true;
    }
    panel.show();
    panel.raise();
    panel.activateWindow();
}

enum class Key { other, cancel, accept };

// Escape cancels and Return (or the keypad's Enter) accepts, when pressed without modifiers.
inline Key keyOf(const QKeyEvent &event)
{
    if ((event.modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier)
        return Key::other;
    switch (event.key()) {
    case Qt::Key_Escape: return Key::cancel;
    case Qt::Key_Return:
    case Qt::Key_Enter: return Key::accept;
    default: return Key::other;
    }
}

} // namespace PanelWindow
