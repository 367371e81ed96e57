// GLib names a structure member "signals", which Qt defines as a keyword: AT-SPI comes first.
#include <atspi/atspi.h>

#include "AtspiAccessibilityTree.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QLoggingCategory>

#include <cstring>
#include <mutex>

Q_LOGGING_CATEGORY(lcAtspi, "murmex.platform.atspi", QtInfoMsg)

namespace {

struct GObjectUnref {
    void operator()(gpointer object) const
    {
        if (object)
            g_object_unref(object);
    }
};
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

struct GFreeDeleter {
    void operator()(gpointer memory) const { g_free(memory); }
};
template <typename T>
using GMemoryPtr = std::unique_ptr<T, GFreeDeleter>;

// Owns the GError of one call. A failed read counts as absent for the caret lookup, so the reason
// only goes to the developer log.
class CallError {
public:
    ~CallError()
    {
        if (error)
            g_error_free(error);
    }
    GError **out() { return &error; }
    bool failed(const char *what)
    {
        if (!error)
            return false;
        qCDebug(lcAtspi) << what << "failed:" << error->message;
        return true;
    }

private:
    GError *error = nullptr;
};

std::optional<AccessibleRole> roleFromAtspi(AtspiRole role)
{
    switch (role) {
    case ATSPI_ROLE_INVALID:
        return std::nullopt;
    case ATSPI_ROLE_ENTRY:
    case ATSPI_ROLE_PASSWORD_TEXT:
        return AccessibleRole::textField;
    case ATSPI_ROLE_TEXT:
    case ATSPI_ROLE_DOCUMENT_TEXT:
    case ATSPI_ROLE_TERMINAL:
        return AccessibleRole::textArea;
    case ATSPI_ROLE_COMBO_BOX:
        return AccessibleRole::comboBox;
    case ATSPI_ROLE_APPLICATION:
        return AccessibleRole::application;
    case ATSPI_ROLE_FRAME:
    case ATSPI_ROLE_WINDOW:
    case ATSPI_ROLE_DIALOG:
        return AccessibleRole::window;
    case ATSPI_ROLE_SCROLL_PANE:
        return AccessibleRole::scrollArea;
    case ATSPI_ROLE_PANEL:
    case ATSPI_ROLE_FILLER:
        return AccessibleRole::group;
    case ATSPI_ROLE_DOCUMENT_WEB:
        return AccessibleRole::webArea;
    default:
        return AccessibleRole::other;
    }
}

class AtspiElement;
AccessibleElementRef wrap(AtspiAccessible *adopted);

class AtspiElement final : public AccessibleElement {
public:
    // Takes over one reference to `accessible`.
    explicit AtspiElement(AtspiAccessible *accessible)
        : accessible(accessible)
    {
    }

    AtspiAccessible *handle() const { return accessible.get(); }

    std::optional<AccessibleRole> role() override
    {
        CallError error;
        const AtspiRole role = atspi_accessible_get_role(handle(), error.out());
        if (error.failed("role"))
            return std::nullopt;
        return roleFromAtspi(role);
    }

    std::optional<bool> isFocused() override { return hasState(ATSPI_STATE_FOCUSED); }
    std::optional<bool> isEditable() override { return hasState(ATSPI_STATE_EDITABLE); }

    // The first selection when there is one, else the empty range at the caret.
    std::optional<AccessibleTextRange> selectedTextRange() override
    {
        GObjectPtr<AtspiText> text(atspi_accessible_get_text_iface(handle()));
        if (!text)
            return std::nullopt;
        CallError selectionsError;
        const gint selections = atspi_text_get_n_selections(text.get(), selectionsError.out());
        if (!selectionsError.failed("selection count") && selections > 0) {
            CallError error;
            GMemoryPtr<AtspiRange> range(atspi_text_get_selection(text.get(), 0, error.out()));
            if (!error.failed("selection") && range && range->end_offset >= range->start_offset)
                return AccessibleTextRange{range->start_offset, range->end_offset - range->start_offset};
        }
        CallError error;
        const gint caret = atspi_text_get_caret_offset(text.get(), error.out());
        if (error.failed("caret offset") || caret < 0)
            return std::nullopt;
        return AccessibleTextRange{caret, 0};
    }

    // The text interface always offers setting the caret and the selection; whether the
    // application honours it only shows when it is tried.
    bool isSelectedTextRangeSettable() override
    {
        GObjectPtr<AtspiText> text(atspi_accessible_get_text_iface(handle()));
        return text != nullptr;
    }

    bool setSelectedTextRange(AccessibleTextRange range) override
    {
        GObjectPtr<AtspiText> text(atspi_accessible_get_text_iface(handle()));
        if (!text)
            return false;
        CallError error;
        gboolean done;
        if (range.length == 0) {
            done = atspi_text_set_caret_offset(text.get(), gint(range.location), error.out());
        } else {
            const gint start = gint(range.location);
            const gint end = gint(range.location + range.length);
            CallError countError;
            const gint selections = atspi_text_get_n_selections(text.get(), countError.out());
            done = selections > 0 ? atspi_text_set_selection(text.get(), 0, start, end, error.out())
                                  : atspi_text_add_selection(text.get(), start, end, error.out());
        }
        if (error.failed("setting the selection"))
            return false;
        return done;
    }

    // An empty range asks for the range extents (often nothing); a single character for that
    // character's box, which is what the caret fallbacks want.
    std::optional<QRectF> boundsForRange(AccessibleTextRange range) override
    {
        GObjectPtr<AtspiText> text(atspi_accessible_get_text_iface(handle()));
        if (!text || range.location < 0 || range.length < 0)
            return std::nullopt;
        CallError error;
        const gint start = gint(range.location);
        GMemoryPtr<AtspiRect> rect(range.length == 1
                ? atspi_text_get_character_extents(text.get(), start, ATSPI_COORD_TYPE_SCREEN, error.out())
                : atspi_text_get_range_extents(text.get(), start, gint(range.location + range.length), ATSPI_COORD_TYPE_SCREEN, error.out()));
        if (error.failed("text extents") || !rect)
            return std::nullopt;
        return QRectF(rect->x, rect->y, rect->width, rect->height);
    }

    std::optional<QPointF> position() override
    {
        GObjectPtr<AtspiComponent> component(atspi_accessible_get_component_iface(handle()));
        if (!component)
            return std::nullopt;
        CallError error;
        GMemoryPtr<AtspiPoint> point(atspi_component_get_position(component.get(), ATSPI_COORD_TYPE_SCREEN, error.out()));
        if (error.failed("position") || !point)
            return std::nullopt;
        return QPointF(point->x, point->y);
    }

    std::optional<QSizeF> size() override
    {
        GObjectPtr<AtspiComponent> component(atspi_accessible_get_component_iface(handle()));
        if (!component)
            return std::nullopt;
        CallError error;
        GMemoryPtr<AtspiPoint> extent(atspi_component_get_size(component.get(), error.out()));
        if (error.failed("size") || !extent)
            return std::nullopt;
        return QSizeF(extent->x, extent->y);
    }

    std::vector<AccessibleElementRef> children() override
    {
        std::vector<AccessibleElementRef> result;
        CallError countError;
        const gint count = atspi_accessible_get_child_count(handle(), countError.out());
        if (countError.failed("child count"))
            return result;
        result.reserve(std::max(count, 0));
        for (gint index = 0; index < count; ++index) {
            CallError error;
            AtspiAccessible *child = atspi_accessible_get_child_at_index(handle(), index, error.out());
            if (!error.failed("child") && child)
                result.push_back(wrap(child));
        }
        return result;
    }

    // Set by the tree from the focus events it follows.
    AccessibleElementRef focusedElement() override { return lastFocusedInApplication ? lastFocusedInApplication() : nullptr; }

    // The application's frame, window or dialog that is active. Qt exposes a top-level window
    // that is a plain widget as a filler, so an active child of another role serves when there is
    // no proper window.
    AccessibleElementRef focusedWindow() override
    {
        AccessibleElementRef activeChild;
        for (const AccessibleElementRef &child : children()) {
            auto &window = static_cast<AtspiElement &>(*child);
            if (window.hasState(ATSPI_STATE_ACTIVE) != true)
                continue;
            if (window.role() == AccessibleRole::window)
                return child;
            if (!activeChild)
                activeChild = child;
        }
        return activeChild;
    }

    // libatspi usually hands out one object per remote element; comparing the bus name and the
    // object path also covers two handles of the same element.
    bool isSameElement(const AccessibleElement &other) const override
    {
        const AtspiAccessible *mine = handle();
        const AtspiAccessible *theirs = static_cast<const AtspiElement &>(other).handle();
        if (mine == theirs)
            return true;
        const AtspiObject &a = mine->parent;
        const AtspiObject &b = theirs->parent;
        return a.app && b.app && a.path && b.path && a.app->bus_name && b.app->bus_name
            && std::strcmp(a.app->bus_name, b.app->bus_name) == 0 && std::strcmp(a.path, b.path) == 0;
    }

    std::optional<bool> hasState(AtspiStateType state)
    {
        GObjectPtr<AtspiStateSet> states(atspi_accessible_get_state_set(handle()));
        if (!states)
            return std::nullopt;
        return atspi_state_set_contains(states.get(), state) != FALSE;
    }

    std::function<AccessibleElementRef()> lastFocusedInApplication;

private:
    GObjectPtr<AtspiAccessible> accessible;
};

AccessibleElementRef wrap(AtspiAccessible *adopted)
{
    return std::make_shared<AtspiElement>(adopted);
}

} // namespace

// The element that last gained focus, written on the main thread by the event listener and read on
// the lookup queue.
struct AtspiAccessibilityTree::FocusTracker {
    std::mutex lock;
    GObjectPtr<AtspiAccessible> lastFocused;
    GObjectPtr<AtspiEventListener> listener;

    static void onFocusChanged(AtspiEvent *event, void *data)
    {
        auto *tracker = static_cast<FocusTracker *>(data);
        if (event->detail1 == 0 || !event->source)
            return; // focus left an element; the next gain replaces it
        std::lock_guard guard(tracker->lock);
        tracker->lastFocused.reset(static_cast<AtspiAccessible *>(g_object_ref(event->source)));
        // libatspi frees the event after the callback returns.
    }

    AccessibleElementRef current()
    {
        std::lock_guard guard(lock);
        if (!lastFocused)
            return nullptr;
        return wrap(static_cast<AtspiAccessible *>(g_object_ref(lastFocused.get())));
    }
};

AtspiAccessibilityTree::AtspiAccessibilityTree()
    : focus(std::make_unique<FocusTracker>())
{
    const int initialised = atspi_init();
    if (initialised != 0 && initialised != 1) {
        qCWarning(lcAtspi) << "cannot connect to the accessibility bus; no caret lookup (atspi_init returned" << initialised << ")";
        return;
    }
    focus->listener.reset(atspi_event_listener_new(&FocusTracker::onFocusChanged, focus.get(), nullptr));
    CallError error;
    if (!atspi_event_listener_register(focus->listener.get(), "object:state-changed:focused", error.out()) || error.failed("following focus"))
        qCWarning(lcAtspi) << "focus events are not followed; the caret lookup relies on searching";
}

AtspiAccessibilityTree::~AtspiAccessibilityTree()
{
    if (focus->listener) {
        CallError error;
        atspi_event_listener_deregister(focus->listener.get(), "object:state-changed:focused", error.out());
        error.failed("stopping following focus"); // nothing else to do while shutting down
    }
}

AccessibleElementRef AtspiAccessibilityTree::applicationElement(qint64 processId)
{
    GObjectPtr<AtspiAccessible> desktop(atspi_get_desktop(0));
    if (!desktop)
        return nullptr;
    CallError countError;
    const gint count = atspi_accessible_get_child_count(desktop.get(), countError.out());
    if (countError.failed("application count"))
        return nullptr;
    for (gint index = 0; index < count; ++index) {
        CallError childError;
        GObjectPtr<AtspiAccessible> application(atspi_accessible_get_child_at_index(desktop.get(), index, childError.out()));
        if (childError.failed("application") || !application)
            continue;
        CallError pidError;
        const guint pid = atspi_accessible_get_process_id(application.get(), pidError.out());
        if (pidError.failed("process id") || qint64(pid) != processId)
            continue;

        auto element = std::make_shared<AtspiElement>(application.release());
        // Its focused element is the last one that gained focus, if that belongs to this process.
        element->lastFocusedInApplication = [tracker = focus.get(), processId]() -> AccessibleElementRef {
            AccessibleElementRef focused = tracker->current();
            if (!focused)
                return nullptr;
            CallError error;
            const guint owner = atspi_accessible_get_process_id(static_cast<AtspiElement &>(*focused).handle(), error.out());
            if (error.failed("process id of the focused element") || qint64(owner) != processId)
                return nullptr;
            return focused;
        };
        return element;
    }
    return nullptr;
}

// Toolkits expose their trees when accessibility is switched on for the session. The answer is
// not awaited: a failure only means a tree stays as it was, which the search already copes with.
void AtspiAccessibilityTree::requestFullTree(const AccessibleElementRef &)
{
    QDBusMessage enable = QDBusMessage::createMethodCall(QStringLiteral("org.a11y.Bus"), QStringLiteral("/org/a11y/bus"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Set"));
    enable << QStringLiteral("org.a11y.Status") << QStringLiteral("IsEnabled") << QVariant::fromValue(QDBusVariant(true));
    if (!QDBusConnection::sessionBus().send(enable))
        qCDebug(lcAtspi) << "cannot ask the session to switch accessibility on";
}

AccessibleElementRef AtspiAccessibilityTree::systemWideFocusedElement()
{
    return focus->current();
}
