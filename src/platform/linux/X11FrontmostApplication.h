#pragma once

#include "platform/FrontmostApplication.h"

// The active window's process: _NET_ACTIVE_WINDOW, then its _NET_WM_PID. Without a window manager
// the window with the input focus (or its nearest ancestor that names a process) stands in.
//
// The focused window is read from the input focus itself, not from _NET_ACTIVE_WINDOW: synthetic
// keys go to the input focus, which the window manager's property follows only once it has seen
// the focus change, and not at all when an unmanaged window takes the focus. The focus (often a
// child of the top-level window, as in GTK) is resolved to the client window the window manager
// manages, or without one to the window right below the root.
//
// A window's frame is its client area grown by the _NET_FRAME_EXTENTS the window manager publishes;
// a compositing manager owns the _NET_WM_CM_Sn selection of the screen.
class X11FrontmostApplication final : public FrontmostApplication {
public:
    std::optional<qint64> frontmostProcessId() override;
    FocusedWindow focusedWindow() override;
    std::optional<QRect> frameGeometry(quint32 window) override;
    bool windowsAreComposited() override;
};
