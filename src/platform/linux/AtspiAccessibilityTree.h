#pragma once

#include "platform/AccessibilityTree.h"

#include <memory>

class DefaultMainContextThread;

// The accessibility trees of the desktop's applications through AT-SPI 2 (libatspi).
//
// libatspi is not thread-safe: the tree runs it on a thread of its own, "com.tarvo.murmex.caret-lookup",
// which connects to the accessibility bus, follows focus events and answers every call. The tree's
// and the elements' calls are made from work handed over with perform(), and refused elsewhere.
// The program must run Qt without its GLib event dispatcher (QT_NO_GLIB=1 before the application
// object exists); otherwise the tree stays empty and says so in the developer log.
class AtspiAccessibilityTree final : public AccessibilityTree {
public:
    AtspiAccessibilityTree();
    ~AtspiAccessibilityTree() override;

    AtspiAccessibilityTree(const AtspiAccessibilityTree &) = delete;
    AtspiAccessibilityTree &operator=(const AtspiAccessibilityTree &) = delete;

    void perform(std::function<void()> work) override;
    AccessibleElementRef applicationElement(qint64 processId) override;
    void requestFullTree(const AccessibleElementRef &application) override;
    AccessibleElementRef systemWideFocusedElement() override;

private:
    struct Connection;

    // On the tree's thread and connected.
    bool usable() const;

    std::shared_ptr<Connection> connection;
    std::unique_ptr<DefaultMainContextThread> thread;
};
