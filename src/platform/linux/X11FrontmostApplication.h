#pragma once

#include "platform/FrontmostApplication.h"

// The active window's process: _NET_ACTIVE_WINDOW, then its _NET_WM_PID. Without a window manager
// the window with the input focus (or its nearest ancestor that names a process) stands in.
class X11FrontmostApplication final : public FrontmostApplication {
public:
    std::optional<qint64> frontmostProcessId() override;
};
