#pragma once

#include <QRect>
#include <QtGlobal>

#include <optional>

// A top-level window that has the keyboard focus: its window-system id (0 when no window has it)
// and the process the window names as its owner, when it names one.
struct FocusedWindow {
    quint32 window = 0;
    std::optional<qint64> processId;
};

// The application whose window is active, the top-level window that has the keyboard focus, and
// what the window system says about windows on screen.
class FrontmostApplication {
public:
    virtual ~FrontmostApplication() = default;
    // The process id of the application whose window is active, or none when there is none.
    virtual std::optional<qint64> frontmostProcessId() = 0;
    // The top-level window that key events go to right now.
    virtual FocusedWindow focusedWindow() = 0;
    // Where a top-level window is on screen, in the window system's pixels, with the frame the window
    // manager draws around it (title bar and borders); none when the window is gone.
    virtual std::optional<QRect> frameGeometry(quint32 window) = 0;
    // Whether a compositing manager blends windows with what lies below them. Without one, the
    // transparent pixels of a translucent window show black.
    virtual bool windowsAreComposited() = 0;
};
