#pragma once

#include <QPointF>
#include <QRectF>
#include <QSizeF>
#include <QtGlobal>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

// The kinds of element the caret lookup tells apart; everything else is `other`.
enum class AccessibleRole {
    textField,
    textArea,
    comboBox,
    application,
    window,
    scrollArea,
    group,
    webArea,
    other,
};

// A character range in an element's text: the selection, or the empty range at the caret.
struct AccessibleTextRange {
    qint64 location = 0;
    qint64 length = 0;

    friend bool operator==(const AccessibleTextRange &, const AccessibleTextRange &) = default;
};

class AccessibleElement;
using AccessibleElementRef = std::shared_ptr<AccessibleElement>;

// One element of an application's accessibility tree. Every read may fail (the application went
// away, the attribute is not supported, the value has the wrong kind); a failed read is an empty
// optional, a null reference or an empty list, never an exception. Rectangles and points are in
// global screen coordinates with the origin at the top left. Calls may block on the accessibility
// bus. An element belongs to the thread of its tree (AccessibilityTree::perform): it is used there
// and its last reference is dropped there.
class AccessibleElement {
public:
    virtual ~AccessibleElement() = default;

    // Empty when the role cannot be read.
    virtual std::optional<AccessibleRole> role() = 0;
    virtual std::optional<bool> isFocused() = 0;
    virtual std::optional<bool> isEditable() = 0;

    virtual std::optional<AccessibleTextRange> selectedTextRange() = 0;
    virtual bool isSelectedTextRangeSettable() = 0;
    virtual bool setSelectedTextRange(AccessibleTextRange range) = 0;
    virtual std::optional<QRectF> boundsForRange(AccessibleTextRange range) = 0;

    virtual std::optional<QPointF> position() = 0;
    virtual std::optional<QSizeF> size() = 0;
    virtual std::vector<AccessibleElementRef> children() = 0;

    // Meaningful on an application element: its focused element and its focused window.
    virtual AccessibleElementRef focusedElement() = 0;
    virtual AccessibleElementRef focusedWindow() = 0;

    // Whether both handles denote the same element of the same application.
    virtual bool isSameElement(const AccessibleElement &other) const = 0;
};

// Entry points into the desktop's accessibility trees. Every call below, and every call on an
// element, runs in work handed to perform().
class AccessibilityTree {
public:
    virtual ~AccessibilityTree() = default;

    // Runs `work` on the tree's own thread, one piece at a time in the order given; the work object
    // is also destroyed there. What the work finds goes to other threads as copies (rectangles,
    // ranges, booleans), never as elements. Work handed over before the tree is destroyed still runs.
    virtual void perform(std::function<void()> work) = 0;

    // The application element of a running process, or null when it exposes none.
    virtual AccessibleElementRef applicationElement(qint64 processId) = 0;
    // Asks the application's toolkit to expose its full tree. Best effort: failures are ignored.
    virtual void requestFullTree(const AccessibleElementRef &application) = 0;
    // The focused element of the whole desktop, whichever application holds it.
    virtual AccessibleElementRef systemWideFocusedElement() = 0;
};
