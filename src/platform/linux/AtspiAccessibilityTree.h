#pragma once

#include "platform/AccessibilityTree.h"

#include <memory>

// The accessibility trees of the desktop's applications through AT-SPI 2.
//
// Construct it on the main thread: it connects to the accessibility bus there and follows focus
// events, which arrive through the GLib event loop the Qt main loop runs. The element reads may
// then run on another thread (the caret-lookup queue); each costs a round trip on the bus.
class AtspiAccessibilityTree final : public AccessibilityTree {
public:
    AtspiAccessibilityTree();
    ~AtspiAccessibilityTree() override;

    AtspiAccessibilityTree(const AtspiAccessibilityTree &) = delete;
    AtspiAccessibilityTree &operator=(const AtspiAccessibilityTree &) = delete;

    AccessibleElementRef applicationElement(qint64 processId) override;
    void requestFullTree(const AccessibleElementRef &application) override;
    AccessibleElementRef systemWideFocusedElement() override;

private:
    struct FocusTracker;
    std::unique_ptr<FocusTracker> focus;
};
