#include "X11TrayColors.h"

#include <QByteArray>
#include <QGuiApplication>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct FreeDeleter {
    void operator()(void *pointer) const { std::free(pointer); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

// The atom of an existing name, or XCB_ATOM_NONE when no client ever made it (then nothing can
// own or carry it).
xcb_atom_t existingAtom(xcb_connection_t *connection, const QByteArray &name)
{
    const Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 1, uint16_t(name.size()), name.constData()), nullptr));
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

// The screen number of $DISPLAY (":0.1" → 1), the screen Qt's connection uses by default.
int defaultScreenNumber()
{
    const QByteArray display = qgetenv("DISPLAY");
    const qsizetype colon = display.lastIndexOf(':');
    const qsizetype dot = display.indexOf('.', colon + 1);
    if (colon < 0 || dot < 0)
        return 0;
    bool ok = false;
    const int screen = display.mid(dot + 1).toInt(&ok);
    return ok ? screen : 0;
}

} // namespace

std::optional<QColor> trayForegroundColor()
{
    const auto *x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t *connection = x11 ? x11->connection() : nullptr;
    if (!connection)
        return std::nullopt;

    const xcb_atom_t selection = existingAtom(connection, "_NET_SYSTEM_TRAY_S" + QByteArray::number(defaultScreenNumber()));
    const xcb_atom_t colors = existingAtom(connection, "_NET_SYSTEM_TRAY_COLORS");
    if (selection == XCB_ATOM_NONE || colors == XCB_ATOM_NONE)
        return std::nullopt;
    const Reply<xcb_get_selection_owner_reply_t> owner(
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, selection), nullptr));
    if (!owner || owner->owner == XCB_WINDOW_NONE)
        return std::nullopt;

    // CARDINAL[12]: foreground, error, warning and success colours, red, green and blue of 16 bits
    // each. Only the foreground is used.
    const Reply<xcb_get_property_reply_t> property(xcb_get_property_reply(
        connection, xcb_get_property(connection, 0, owner->owner, colors, XCB_ATOM_CARDINAL, 0, 12), nullptr));
    if (!property || property->format != 32 || xcb_get_property_value_length(property.get()) < int(3 * sizeof(uint32_t)))
        return std::nullopt;
    uint32_t rgb[3];
    std::memcpy(rgb, xcb_get_property_value(property.get()), sizeof rgb);
    return QColor::fromRgba64(quint16(rgb[0]), quint16(rgb[1]), quint16(rgb[2]));
}
