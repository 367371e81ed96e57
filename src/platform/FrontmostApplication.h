#pragma once

#include <QtGlobal>

#include <optional>

// A top-level window that has the keyboard focus: its window-system id (0 when no window has it)
// and the process the window names as its owner, when it names one.
struct FocusedWindow {
    quint32 window = 0;
    std::optional<qint64> processId;
};

// The application whose window is active, and the top-level window that has the keyboard focus.
class FrontmostApplication {
public:
    virtual ~FrontmostApplication() = default;
    // The process id of the application whose window is active, or none when there is none.
    virtual std::optional<qint64> frontmostProcessId() = 0;
    // The top-level window that key events go to right now.
    virtual FocusedWindow focusedWindow() = 0;
};
