// GLib names a structure member "signals", which Qt defines as a keyword: AT-SPI comes first.
#include <atspi/atspi.h>

#include "AtspiAccessibilityTree.h"

#include "AccessibilityStatus.h"
#include "DefaultMainContextThread.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QLoggingCategory>

#include <cstring>
#include <memory>

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

// The connection to the accessibility bus and the element that last gained focus. Lives on the
// tree's thread: created, used and destroyed there, like every element.
struct AtspiAccessibilityTree::Connection {
    bool connected = false;
    GObjectPtr<AtspiEventListener> listener;
    GObjectPtr<AtspiAccessible> lastFocused;

    void open()
    {
        const int initialised = atspi_init();
        if (initialised != 0 && initialised != 1) {
            qCWarning(lcAtspi) << "cannot connect to the accessibility bus; no caret lookup (atspi_init returned" << initialised << ")";
            return;
        }
        connected = true;
        listener.reset(atspi_event_listener_new(&Connection::onFocusChanged, this, nullptr));
        CallError error;
        if (!atspi_event_listener_register(listener.get(), "object:state-changed:focused", error.out()) || error.failed("following focus")) {
            qCWarning(lcAtspi) << "focus events are not followed; the caret lookup relies on searching";
            listener.reset();
        }
    }

    // The bus connection stays: libatspi keeps it for the whole process, and a later tree in the
    // same process takes over the context it is attached to.
    void close()
    {
        if (listener) {
            CallError error;
            atspi_event_listener_deregister(listener.get(), "object:state-changed:focused", error.out());
            error.failed("stopping following focus"); // nothing else to do while shutting down
            listener.reset();
        }
        lastFocused.reset();
    }

    static void onFocusChanged(AtspiEvent *event, void *data)
    {
        // Each listener receives its own copy of the event (transfer full): freed here on every path.
        const std::unique_ptr<AtspiEvent, void (*)(AtspiEvent *)> owned(event, [](AtspiEvent *e) { g_boxed_free(ATSPI_TYPE_EVENT, e); });
        auto *connection = static_cast<Connection *>(data);
        if (event->detail1 == 0 || !event->source)
            return; // focus left an element; the next gain replaces it
        connection->lastFocused.reset(static_cast<AtspiAccessible *>(g_object_ref(event->source)));
    }

    AccessibleElementRef current()
    {
        if (!lastFocused)
            return nullptr;
        return wrap(static_cast<AtspiAccessible *>(g_object_ref(lastFocused.get())));
    }
};

namespace {

// Qt's GLib event dispatcher iterates the default context on the main thread, and libatspi attaches
// connections to that context; with it, this thread must neither take the context over (the main
// thread would wait for it forever) nor use libatspi (its events and replies would be dispatched on
// the main thread).
bool qtIteratesDefaultContext()
{
    if (QCoreApplication::instance()) {
        const QAbstractEventDispatcher *dispatcher = QCoreApplication::eventDispatcher();
        return dispatcher && dispatcher->inherits("QEventDispatcherGlib");
    }
    return qEnvironmentVariableIsEmpty("QT_NO_GLIB");
}

} // namespace

// libatspi is not thread-safe, so everything that touches it runs on one thread. That thread owns
// GLib's default main context and runs it, instead of a context of its own handed over with
// atspi_set_main_context(): libatspi attaches the private peer-to-peer bus of every application it
// meets to the default context, wherever the main context was moved, and whoever iterates the
// default context dispatches that bus's replies (its cache fills from them). Moving each such bus
// afterwards would leave a window in which they reach another thread. So Murmex runs Qt without its
// GLib event dispatcher (QT_NO_GLIB=1, set before QApplication), nothing else in the process
// iterates the default context, and every connection libatspi opens is dispatched here.
AtspiAccessibilityTree::AtspiAccessibilityTree()
    : connection(std::make_shared<Connection>())
{
    const bool available = !qtIteratesDefaultContext();
    if (!available)
        qCWarning(lcAtspi) << "Qt runs GLib's default main context (QT_NO_GLIB is not set); no caret lookup";
    thread = std::make_unique<DefaultMainContextThread>(QStringLiteral("com.tarvo.murmex.caret-lookup"), available);
    thread->post([connection = connection] {
        if (DefaultMainContextThread::ownsDefaultContext())
            connection->open();
        else
            qCWarning(lcAtspi) << "another thread runs GLib's default main context; no caret lookup";
    });
}

AtspiAccessibilityTree::~AtspiAccessibilityTree()
{
    thread->post([connection = connection] { connection->close(); });
    // Runs what is queued, the line above last, and joins. The queued work still calls this tree,
    // which asks `thread` whether it runs there: `thread` must stay set until the join is done.
    thread->stopAndJoin();
    thread.reset();
}

void AtspiAccessibilityTree::perform(std::function<void()> work)
{
    thread->post(std::move(work));
}

bool AtspiAccessibilityTree::usable() const
{
    if (!thread->isCurrent()) {
        qCWarning(lcAtspi) << "the accessibility tree was used outside its thread; the call is refused";
        return false;
    }
    return connection->connected;
}

AccessibleElementRef AtspiAccessibilityTree::applicationElement(qint64 processId)
{
    if (!usable())
        return nullptr;
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
        element->lastFocusedInApplication = [weakConnection = std::weak_ptr(connection), processId]() -> AccessibleElementRef {
            const std::shared_ptr<Connection> connection = weakConnection.lock();
            AccessibleElementRef focused = connection ? connection->current() : nullptr;
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

// Toolkits expose their trees only when accessibility is on; it is turned on once per launch, not
// on every lookup.
void AtspiAccessibilityTree::requestFullTree(const AccessibleElementRef &)
{
    AccessibilityStatus::enableOnce();
}

AccessibleElementRef AtspiAccessibilityTree::systemWideFocusedElement()
{
    if (!usable())
        return nullptr;
    return connection->current();
}
