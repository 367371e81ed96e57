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

bool hasProperty(xcb_connection_t *connection, xcb_window_t window, xcb_atom_t property)
{
    if (property == XCB_ATOM_NONE)
        return false;
    XcbReply<xcb_get_property_reply_t> reply(
        xcb_get_property_reply(connection, xcb_get_property(connection, 0, window, property, XCB_GET_PROPERTY_TYPE_ANY, 0, 0), nullptr));
    return reply && reply->type != XCB_ATOM_NONE;
}

// The top-level window that holds `window`: the nearest one up the tree (itself included) that a
// window manager marks as a client it manages (WM_STATE); where none does (no window manager, or an
// unmanaged window such as a popup), the one right below the root. None when the tree cannot be
// read, for instance because the window has just gone away.
xcb_window_t topLevelOf(xcb_connection_t *connection, xcb_window_t root, xcb_window_t window)
{
    const xcb_atom_t wmState = xcb::internAtom(connection, "WM_STATE");
    xcb_window_t belowRoot = XCB_WINDOW_NONE;
    for (int depth = 0; depth < 32 && window != XCB_WINDOW_NONE && window != root; ++depth) {
        if (hasProperty(connection, window, wmState))
            return window;
        XcbReply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(connection, xcb_query_tree(connection, window), nullptr));
        if (!tree)
            return XCB_WINDOW_NONE;
        belowRoot = window;
        window = tree->parent;
    }
    return window == root ? belowRoot : xcb_window_t(XCB_WINDOW_NONE);
}

xcb_connection_t *qtConnection()
{
    auto *x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

} // namespace

std::optional<qint64> X11FrontmostApplication::frontmostProcessId()
{
    xcb_connection_t *connection = qtConnection();
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

FocusedWindow X11FrontmostApplication::focusedWindow()
{
    xcb_connection_t *connection = qtConnection();
    if (!connection) {
        qCDebug(lcX11Frontmost) << "no X11 connection: no focused window";
        return {};
    }
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    XcbReply<xcb_get_input_focus_reply_t> focus(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
    if (!focus) {
        qCWarning(lcX11Frontmost) << "the input focus could not be read: no focused window";
        return {};
    }
    xcb_window_t window = focus->focus;
    if (window == XCB_INPUT_FOCUS_POINTER_ROOT) {
        // Keys go to whichever top-level window is under the pointer.
        XcbReply<xcb_query_pointer_reply_t> pointer(xcb_query_pointer_reply(connection, xcb_query_pointer(connection, root), nullptr));
        window = pointer ? pointer->child : xcb_window_t(XCB_WINDOW_NONE);
    }
    const xcb_window_t topLevel = topLevelOf(connection, root, window);
    // With no client focused, a window manager parks the focus on a window of its own (openbox on
    // the one it names in _NET_SUPPORTING_WM_CHECK): that is no window anyone dictates into.
    if (topLevel == XCB_WINDOW_NONE
        || cardinalProperty(connection, root, internAtom(connection, "_NET_SUPPORTING_WM_CHECK"), XCB_ATOM_WINDOW) == topLevel)
        return {};
    FocusedWindow focused{.window = topLevel, .processId = std::nullopt};
    if (const auto pid = cardinalProperty(connection, topLevel, internAtom(connection, "_NET_WM_PID"), XCB_ATOM_CARDINAL))
        focused.processId = qint64(*pid);
    return focused;
}

std::optional<QRect> X11FrontmostApplication::frameGeometry(quint32 window)
{
    xcb_connection_t *connection = qtConnection();
    if (!connection || window == XCB_WINDOW_NONE)
        return std::nullopt;
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    const xcb_get_geometry_cookie_t geometryCookie = xcb_get_geometry(connection, window);
    const xcb_translate_coordinates_cookie_t originCookie = xcb_translate_coordinates(connection, window, root, 0, 0);
    XcbReply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(connection, geometryCookie, nullptr));
    XcbReply<xcb_translate_coordinates_reply_t> origin(xcb_translate_coordinates_reply(connection, originCookie, nullptr));
    if (!geometry || !origin) {
        qCDebug(lcX11Frontmost) << "window" << window << "is gone: no frame";
        return std::nullopt;
    }
    QRect frame(origin->dst_x, origin->dst_y, geometry->width, geometry->height);

    // Left, right, top, bottom; absent without a window manager, or for a window it does not frame.
    const xcb_atom_t extentsAtom = internAtom(connection, "_NET_FRAME_EXTENTS");
    if (extentsAtom == XCB_ATOM_NONE)
        return frame;
    XcbReply<xcb_get_property_reply_t> extents(
        xcb_get_property_reply(connection, xcb_get_property(connection, 0, window, extentsAtom, XCB_ATOM_CARDINAL, 0, 4), nullptr));
    if (extents && xcb_get_property_value_length(extents.get()) >= int(4 * sizeof(uint32_t))) {
        const auto *sides = static_cast<const uint32_t *>(xcb_get_property_value(extents.get()));
        frame.adjust(-int(sides[0]), -int(sides[2]), int(sides[1]), int(sides[3]));
    }
    return frame;
}

bool X11FrontmostApplication::windowsAreComposited()
{
    xcb_connection_t *connection = qtConnection();
    if (!connection)
        return false;
    // The screen the display name ($DISPLAY) chose, as Qt's connection did.
    char *host = nullptr;
    int display = 0;
    int screen = 0;
    if (!xcb_parse_display(nullptr, &host, &display, &screen))
        screen = 0;
    std::free(host);
    const QByteArray name = "_NET_WM_CM_S" + QByteArray::number(screen);
    const xcb_atom_t selection = internAtom(connection, name.constData());
    if (selection == XCB_ATOM_NONE)
        return false; // nobody ever asked for the name: no compositing manager has run
    XcbReply<xcb_get_selection_owner_reply_t> owner(xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, selection), nullptr));
    return owner && owner->owner != XCB_WINDOW_NONE;
}
