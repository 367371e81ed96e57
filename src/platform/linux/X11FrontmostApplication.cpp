#include "X11FrontmostApplication.h"
#include "XcbSupport.h"

#include <QGuiApplication>
#include <QLoggingCategory>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>

Q_LOGGING_CATEGORY(lcX11Frontmost, "murmex.platform.x11", QtInfoMsg)

namespace {

template <typename T>
using XcbReply = xcb::Reply<T>;
using xcb::internAtom;


std::optional<uint32_t> cardinalProperty(xcb_connection_t *connection, xcb_window_t window, xcb_atom_t property, xcb_atom_t type)
{
    if (property == XCB_ATOM_NONE)
        return std::nullopt;
    XcbReply<xcb_get_property_reply_t> reply(
        xcb_get_property_reply(connection, xcb_get_property(connection, 0, window, property, type, 0, 1), nullptr));
    if (!reply || xcb_get_property_value_length(reply.get()) < int(sizeof(uint32_t)))
        return std::nullopt;
    return *static_cast<uint32_t *>(xcb_get_property_value(reply.get()));
}

} // namespace

std::optional<qint64> X11FrontmostApplication::frontmostProcessId()
{
    auto *x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t *connection = x11 ? x11->connection() : nullptr;
    if (!connection) {
        qCDebug(lcX11Frontmost) << "no X11 connection: no frontmost application";
        return std::nullopt;
    }
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    const xcb_atom_t pidAtom = internAtom(connection, "_NET_WM_PID");

    if (const auto active = cardinalProperty(connection, root, internAtom(connection, "_NET_ACTIVE_WINDOW"), XCB_ATOM_WINDOW);
        active && *active != XCB_WINDOW_NONE) {
        if (const auto pid = cardinalProperty(connection, *active, pidAtom, XCB_ATOM_CARDINAL))
            return qint64(*pid);
    }

    // No window manager publishing the active window: walk up from the input focus.
    XcbReply<xcb_get_input_focus_reply_t> focus(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
    xcb_window_t window = focus ? focus->focus : xcb_window_t(XCB_WINDOW_NONE);
    for (int depth = 0; depth < 16 && window != XCB_WINDOW_NONE && window != root && window != XCB_INPUT_FOCUS_POINTER_ROOT; ++depth) {
        if (const auto pid = cardinalProperty(connection, window, pidAtom, XCB_ATOM_CARDINAL))
            return qint64(*pid);
        XcbReply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(connection, xcb_query_tree(connection, window), nullptr));
        if (!tree)
            break;
        window = tree->parent;
    }
    return std::nullopt;
}
