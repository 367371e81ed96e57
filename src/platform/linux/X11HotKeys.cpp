#include "X11HotKeys.h"
#include "XcbSupport.h"

#include "hotkeys/KeyCodes.h"
#include "support/Log.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QLoggingCategory>
#include <QPointer>
#include <QSocketNotifier>

#include <xcb/xcb.h>
#include <xcb/xcbext.h>
#include <xcb/xinput.h>
// xkb.h names a field "explicit", which C++ reserves.
#define explicit xkbExplicit
#include <xcb/xkb.h>
#undef explicit

#include <poll.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

Q_LOGGING_CATEGORY(lcX11HotKeys, "murmex.platform.x11", QtInfoMsg)

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The longest any request to the X server may take; a server that does not answer by then is
// treated as one without global hot keys.
constexpr milliseconds answerTimeout{2000};

constexpr quint32 escapeVirtualKey = 53;

// Shortcut::modifiers bits and the X modifiers at the same places on a PC keyboard.
constexpr quint32 commandMask = 0x100, shiftMask = 0x200, optionMask = 0x800, controlMask = 0x1000;

// Caps Lock and Num Lock change the state a key event carries, so every combination is grabbed
// once for each of their four settings.
constexpr std::array<uint16_t, 4> lockVariants{0, XCB_MOD_MASK_LOCK, XCB_MOD_MASK_2, XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2};
constexpr uint16_t modifierBits = 0xFF; // above them the state holds the pointer buttons
constexpr uint16_t ignoredModifiers = XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2;

template <typename T>
using XcbReply = xcb::Reply<T>;

struct ConnectionDeleter {
    void operator()(xcb_connection_t *connection) const { xcb_disconnect(connection); }
};
using XcbConnection = std::unique_ptr<xcb_connection_t, ConnectionDeleter>;

// xcb_connect waits as long as a server that accepted the socket takes to answer, so it runs on a
// thread of its own. A connection that arrives after the deadline is closed by that thread.
XcbConnection connectWithin(milliseconds timeout)
{
    struct Attempt {
        std::mutex mutex;
        std::condition_variable done;
        xcb_connection_t *connection = nullptr;
        bool abandoned = false;
    };
    auto attempt = std::make_shared<Attempt>();
    std::thread([attempt] {
        xcb_connection_t *connection = xcb_connect(nullptr, nullptr);
        const std::lock_guard lock(attempt->mutex);
        if (attempt->abandoned) {
            xcb_disconnect(connection);
            return;
        }
        attempt->connection = connection;
        attempt->done.notify_one();
    }).detach();

    std::unique_lock lock(attempt->mutex);
    if (!attempt->done.wait_for(lock, timeout, [&] { return attempt->connection != nullptr; })) {
        attempt->abandoned = true;
        return {};
    }
    XcbConnection connection(attempt->connection);
    if (xcb_connection_has_error(connection.get()))
        return {};
    return connection;
}

std::optional<xcb_keycode_t> keycodeAt(quint32 virtualKeyCode)
{
    const std::optional<int> evdev = evdevCode(virtualKeyCode);
    if (!evdev || *evdev + 8 > 255)
        return std::nullopt;
    return xcb_keycode_t(*evdev + 8);
}

uint16_t xModifiers(quint32 shortcutModifiers)
{
    uint16_t modifiers = 0;
    if (shortcutModifiers & controlMask)
        modifiers |= XCB_MOD_MASK_CONTROL;
    if (shortcutModifiers & optionMask)
        modifiers |= XCB_MOD_MASK_1;
    if (shortcutModifiers & shiftMask)
        modifiers |= XCB_MOD_MASK_SHIFT;
    if (shortcutModifiers & commandMask)
        modifiers |= XCB_MOD_MASK_4;
    return modifiers;
}

bool isWaylandSession()
{
    return qEnvironmentVariable("XDG_SESSION_TYPE").compare(QLatin1String("wayland"), Qt::CaseInsensitive) == 0 ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

// The local Escape monitor. Escape is also taken at the ShortcutOverride step, so that a button
// or shortcut bound to Escape in one of our windows never fires instead of the abort.
class EscapeFilter final : public QObject {
public:
    explicit EscapeFilter(std::function<void()> onEscape) : onEscape(std::move(onEscape)) {}

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() != QEvent::KeyPress && event->type() != QEvent::ShortcutOverride)
            return false;
        if (static_cast<QKeyEvent *>(event)->key() != Qt::Key_Escape)
            return false;
        event->accept();
        if (event->type() == QEvent::KeyPress)
            onEscape();
        return true;
    }

private:
    std::function<void()> onEscape;
};

} // namespace

struct X11HotKeys::Private {
    struct HotKeyID {
        quint32 signature;
        quint32 id;
        auto operator<=>(const HotKeyID &) const = default;
    };
    struct Grab {
        xcb_keycode_t keycode;
        uint16_t modifiers;
        bool isDown = false; // a press was delivered and its release has not come yet
    };
    enum class GrabResult { grabbed, refused, noAnswer };
    enum class Kind { pressed, released };

    // Owns the queued listener calls: they die with it.
    QObject context;
    XcbConnection connection;
    bool connectionFailed = false;
    xcb_window_t root = XCB_WINDOW_NONE;
    std::unique_ptr<QSocketNotifier> notifier;
    bool eventReadScheduled = false;

    HotKeyListener *listener = nullptr;
    std::map<HotKeyID, Grab> registeredHotKeys;

    // Waiting for every hot key to be let go (see HeldHotKeys).
    std::vector<std::pair<QPointer<QObject>, std::function<void()>>> releaseWaiters;

    uint8_t xinputOpcode = 0;
    bool xinputChecked = false;
    bool abortKeyGlobalMonitor = false;
    std::unique_ptr<EscapeFilter> abortKeyLocalMonitor;
    QString unsupportedExplanation; // why the last registration was `unsupported`

    xcb_connection_t *ensureConnection();
    void scheduleEventRead();
    void readEvents();
    void handleEvent(const xcb_generic_event_t &event);
    void dispatch(HotKeyID id, Kind kind);
    void post(void (HotKeyListener::*call)());
    bool anyHeld() const;
    void answerReleaseWaiters();

    struct Answer {
        XcbReply<void> reply;
        XcbReply<xcb_generic_error_t> error;
    };
    std::optional<Answer> awaitAnswer(unsigned int sequence);
    template <typename Reply>
    XcbReply<Reply> replyWithin(unsigned int sequence)
    {
        std::optional<Answer> answer = awaitAnswer(sequence);
        return XcbReply<Reply>(answer ? static_cast<Reply *>(answer->reply.release()) : nullptr);
    }
    bool roundTrip();
    bool extensionPresent(xcb_extension_t *extension, uint8_t *majorOpcode = nullptr);
    void askForDetectableAutoRepeat();

    GrabResult grab(const Grab &combination);
    void ungrab(const Grab &combination);
    void unregister(HotKeyID id);
    void removeAbortKeyMonitors();
};

xcb_connection_t *X11HotKeys::Private::ensureConnection()
{
    if (connection || connectionFailed)
        return connection.get();
    connectionFailed = true;
    if (!qGuiApp || QGuiApplication::platformName() != QLatin1String("xcb")) {
        qCDebug(lcX11HotKeys) << "not an X11 session:" << (qGuiApp ? QGuiApplication::platformName() : QString());
        return nullptr;
    }
    connection = connectWithin(answerTimeout);
    if (!connection) {
        Log::write(QStringLiteral("[MurmexHotKeys] No se pudo abrir una conexión con el servidor X (%1).")
                       .arg(qEnvironmentVariable("DISPLAY")));
        return nullptr;
    }
    connectionFailed = false;
    xcb_connection_t *c = connection.get();
    root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    notifier = std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(c), QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, &context, [this] { readEvents(); });
    askForDetectableAutoRepeat();
    return c;
}

// Without detectable auto-repeat a held key would give a release before every repeated press.
void X11HotKeys::Private::askForDetectableAutoRepeat()
{
    xcb_connection_t *c = connection.get();
    if (!extensionPresent(&xcb_xkb_id)) {
        qCInfo(lcX11HotKeys) << "no XKB: a held hot key gives a release before each repeated press";
        return;
    }
    const auto use = replyWithin<xcb_xkb_use_extension_reply_t>(
        xcb_xkb_use_extension(c, XCB_XKB_MAJOR_VERSION, XCB_XKB_MINOR_VERSION).sequence);
    if (!use || !use->supported) {
        qCInfo(lcX11HotKeys) << "XKB refused its version: no detectable auto-repeat";
        return;
    }
    const uint32_t flag = XCB_XKB_PER_CLIENT_FLAG_DETECTABLE_AUTO_REPEAT;
    const auto flags = replyWithin<xcb_xkb_per_client_flags_reply_t>(
        xcb_xkb_per_client_flags(c, XCB_XKB_ID_USE_CORE_KBD, flag, flag, 0, 0, 0).sequence);
    if (!flags || !(flags->value & flag))
        qCInfo(lcX11HotKeys) << "the X server has no detectable auto-repeat";
}

// The reply or error of one request, waiting no longer than answerTimeout (xcb's own reply
// functions wait as long as the server takes). Nothing when the server did not answer in time;
// its late answer is then thrown away.
std::optional<X11HotKeys::Private::Answer> X11HotKeys::Private::awaitAnswer(unsigned int sequence)
{
    xcb_connection_t *c = connection.get();
    xcb_flush(c);
    // Events read from the socket while waiting sit in xcb's queue, where the socket notifier
    // cannot see them.
    scheduleEventRead();
    const auto deadline = Clock::now() + answerTimeout;
    for (;;) {
        void *reply = nullptr;
        xcb_generic_error_t *error = nullptr;
        if (xcb_poll_for_reply(c, sequence, &reply, &error))
            return Answer{XcbReply<void>(reply), XcbReply<xcb_generic_error_t>(error)};
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            qCWarning(lcX11HotKeys) << "the X server did not answer within" << answerTimeout.count() << "ms";
            xcb_discard_reply(c, sequence);
            return std::nullopt;
        }
        pollfd descriptor{xcb_get_file_descriptor(c), POLLIN, 0};
        ::poll(&descriptor, 1, int(left));
    }
}

// Once a later request has been answered, the errors of all earlier ones have arrived, and
// xcb_request_check on them returns at once.
bool X11HotKeys::Private::roundTrip()
{
    const auto focus = replyWithin<xcb_get_input_focus_reply_t>(xcb_get_input_focus(connection.get()).sequence);
    return focus != nullptr;
}

// xcb_get_extension_data waits for its reply; after the prefetch and a bounded round trip the
// reply is already there.
bool X11HotKeys::Private::extensionPresent(xcb_extension_t *extension, uint8_t *majorOpcode)
{
    xcb_connection_t *c = connection.get();
    xcb_prefetch_extension_data(c, extension);
    if (!roundTrip())
        return false;
    const xcb_query_extension_reply_t *data = xcb_get_extension_data(c, extension);
    if (!data || !data->present)
        return false;
    if (majorOpcode)
        *majorOpcode = data->major_opcode;
    return true;
}

void X11HotKeys::Private::scheduleEventRead()
{
    if (eventReadScheduled)
        return;
    eventReadScheduled = true;
    QMetaObject::invokeMethod(&context, [this] { readEvents(); }, Qt::QueuedConnection);
}

void X11HotKeys::Private::readEvents()
{
    eventReadScheduled = false;
    xcb_connection_t *c = connection.get();
    if (!c)
        return;
    while (const XcbReply<xcb_generic_event_t> event{xcb_poll_for_event(c)})
        handleEvent(*event);
    if (xcb_connection_has_error(c) && notifier && notifier->isEnabled()) {
        notifier->setEnabled(false);
        Log::write(QStringLiteral("[MurmexHotKeys] Se perdió la conexión con el servidor X: los atajos globales dejan de funcionar."));
    }
}

// Only the grabbed key counts: while a grab is active every other key event of the keyboard,
// the releases of the shortcut's modifiers among them, comes here too.
void X11HotKeys::Private::handleEvent(const xcb_generic_event_t &event)
{
    switch (event.response_type & 0x7F) {
    case XCB_KEY_PRESS: {
        const auto &key = reinterpret_cast<const xcb_key_press_event_t &>(event);
        const uint16_t modifiers = key.state & modifierBits & ~ignoredModifiers;
        for (auto &[id, hotKey] : registeredHotKeys) {
            if (hotKey.keycode == key.detail && hotKey.modifiers == modifiers) {
                hotKey.isDown = true;
                dispatch(id, Kind::pressed);
            }
        }
        break;
    }
    case XCB_KEY_RELEASE: {
        const auto &key = reinterpret_cast<const xcb_key_release_event_t &>(event);
        for (auto &[id, hotKey] : registeredHotKeys) {
            if (hotKey.keycode == key.detail && hotKey.isDown) {
                hotKey.isDown = false;
                dispatch(id, Kind::released);
            }
        }
        answerReleaseWaiters();
        break;
    }
    case XCB_GE_GENERIC: {
        const auto &generic = reinterpret_cast<const xcb_ge_generic_event_t &>(event);
        if (!abortKeyGlobalMonitor || generic.extension != xinputOpcode || generic.event_type != XCB_INPUT_RAW_KEY_PRESS)
            break;
        const auto &raw = reinterpret_cast<const xcb_input_raw_key_press_event_t &>(event);
        // Keys typed into our own windows are the local monitor's.
        if (raw.detail == keycodeAt(escapeVirtualKey) && !QGuiApplication::focusWindow())
            post(&HotKeyListener::abortHotKeyPressed);
        break;
    }
    case 0: {
        const auto &error = reinterpret_cast<const xcb_generic_error_t &>(event);
        qCDebug(lcX11HotKeys) << "X error" << error.error_code << "for request" << error.major_code << error.minor_code;
        break;
    }
    default:
        break;
    }
}

void X11HotKeys::Private::dispatch(HotKeyID id, Kind kind)
{
    if (id.signature != murmexHotKeySignature)
        return;
    if (id.id == murmexAbortHotKeyID) {
        if (kind == Kind::pressed)
            post(&HotKeyListener::abortHotKeyPressed);
        return;
    }
    if (id.id == murmexHotKeyID)
        post(kind == Kind::pressed ? &HotKeyListener::dictationHotKeyPressed : &HotKeyListener::dictationHotKeyReleased);
}

// Listener calls are queued, never made from inside the event loop above: the listener may
// register or unregister hot keys in answer.
void X11HotKeys::Private::post(void (HotKeyListener::*call)())
{
    QMetaObject::invokeMethod(
        &context,
        [this, call] {
            if (listener)
                (listener->*call)();
        },
        Qt::QueuedConnection);
}

X11HotKeys::Private::GrabResult X11HotKeys::Private::grab(const Grab &combination)
{
    xcb_connection_t *c = connection.get();
    std::array<xcb_void_cookie_t, lockVariants.size()> cookies{};
    for (std::size_t i = 0; i < lockVariants.size(); ++i)
        cookies[i] = xcb_grab_key_checked(c, 1, root, combination.modifiers | lockVariants[i], combination.keycode,
                                          XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
    if (!roundTrip()) {
        for (const xcb_void_cookie_t cookie : cookies)
            xcb_discard_reply(c, cookie.sequence);
        ungrab(combination);
        return GrabResult::noAnswer;
    }
    GrabResult result = GrabResult::grabbed;
    for (const xcb_void_cookie_t cookie : cookies) {
        if (const XcbReply<xcb_generic_error_t> error{xcb_request_check(c, cookie)}) {
            // BadAccess: another client holds this combination.
            qCDebug(lcX11HotKeys) << "grab of key" << combination.keycode << "refused with X error" << error->error_code;
            result = GrabResult::refused;
        }
    }
    // Variants that were granted must not stay behind a refused one.
    if (result != GrabResult::grabbed) {
        ungrab(combination);
        roundTrip();
    }
    return result;
}

// An ungrab releases only this client's grabs, so it is safe on variants that were refused.
// Callers follow it with a round trip where another program may want the combination at once:
// the server may otherwise still see it as ours when that program asks.
void X11HotKeys::Private::ungrab(const Grab &combination)
{
    xcb_connection_t *c = connection.get();
    for (const uint16_t variant : lockVariants)
        xcb_ungrab_key(c, combination.keycode, root, combination.modifiers | variant);
    xcb_flush(c);
}

void X11HotKeys::Private::unregister(HotKeyID id)
{
    const auto found = registeredHotKeys.find(id);
    if (found == registeredHotKeys.end())
        return;
    if (connection) {
        ungrab(found->second);
        roundTrip();
    }
    registeredHotKeys.erase(found);
    answerReleaseWaiters(); // an ungrabbed key holds no grab any more
}

bool X11HotKeys::Private::anyHeld() const
{
    return std::any_of(registeredHotKeys.begin(), registeredHotKeys.end(), [](const auto &entry) { return entry.second.isDown; });
}

// Queued like the listener calls, and after them: a waiter runs once the release has been handled.
void X11HotKeys::Private::answerReleaseWaiters()
{
    if (releaseWaiters.empty() || anyHeld())
        return;
    for (auto &[context, released] : std::exchange(releaseWaiters, {})) {
        QMetaObject::invokeMethod(
            &this->context,
            [context, released = std::move(released)] {
                if (context)
                    released();
            },
            Qt::QueuedConnection);
    }
}

void X11HotKeys::Private::removeAbortKeyMonitors()
{
    if (abortKeyGlobalMonitor) {
        abortKeyGlobalMonitor = false;
        struct {
            xcb_input_event_mask_t header;
            uint32_t bits;
        } none{{XCB_INPUT_DEVICE_ALL_MASTER, 1}, 0};
        xcb_input_xi_select_events(connection.get(), root, 1, &none.header);
        xcb_flush(connection.get());
    }
    if (abortKeyLocalMonitor) {
        if (qApp)
            qApp->removeEventFilter(abortKeyLocalMonitor.get());
        // It may be this very filter that is running: let it return first.
        abortKeyLocalMonitor.release()->deleteLater();
    }
}

X11HotKeys::X11HotKeys() : d(std::make_unique<Private>()) {}

X11HotKeys::~X11HotKeys()
{
    removeHandler();
}

void X11HotKeys::installHandler(HotKeyListener &listener)
{
    d->listener = &listener;
    d->ensureConnection();
}

void X11HotKeys::removeHandler()
{
    d->listener = nullptr;
    unregisterDictationHotKey();
    unregisterAbortHotKey();
}

HotKeys::Registration X11HotKeys::registerDictationHotKey(const Shortcut &shortcut)
{
    d->unregister({murmexHotKeySignature, murmexHotKeyID});
    d->unsupportedExplanation.clear();
    // Under Wayland Murmex is an XWayland client: a grab would succeed and then see no key while a
    // Wayland program has the focus.
    if (isWaylandSession()) {
        Log::write(QStringLiteral("[MurmexHotKeys] Sesión Wayland: los atajos globales de X11 no llegan a Murmex; %1 no se registra.")
                       .arg(shortcut.display));
        d->unsupportedExplanation =
            QStringLiteral("En una sesión Wayland los atajos de teclado globales todavía no llegan a Murmex. Para "
                           "dictar con el atajo, elige una sesión X11 («Xorg») en la pantalla de inicio de sesión.");
        return Registration::unsupported;
    }
    const auto noServer = [&] {
        d->unsupportedExplanation =
            QStringLiteral("Murmex no puede usar atajos de teclado globales porque no hay conexión con un servidor X11 "
                           "(DISPLAY=\"%1\"). Inicia Murmex dentro de una sesión X11.")
                .arg(qEnvironmentVariable("DISPLAY"));
        return Registration::unsupported;
    };
    if (!d->ensureConnection()) {
        Log::write(QStringLiteral("[MurmexHotKeys] Este escritorio no ofrece atajos globales (X11): %1 no se registra.").arg(shortcut.display));
        return noServer();
    }
    // Without Control, Alt or Super the grab would take the key from every other program.
    if (!Shortcut::hasControlAltOrSuper(shortcut.modifiers)) {
        Log::write(QStringLiteral("[MurmexHotKeys] %1 no lleva Ctrl, Alt ni Super: no se registra.").arg(shortcut.display));
        return Registration::taken;
    }
    const std::optional<xcb_keycode_t> keycode = keycodeAt(shortcut.keyCode);
    if (!keycode) {
        Log::write(QStringLiteral("[MurmexHotKeys] La tecla %1 de %2 no tiene sitio conocido en el teclado.")
                       .arg(shortcut.keyCode)
                       .arg(shortcut.display));
        return Registration::taken;
    }
    const Private::Grab combination{*keycode, xModifiers(shortcut.modifiers)};
    switch (d->grab(combination)) {
    case Private::GrabResult::grabbed:
        d->registeredHotKeys[{murmexHotKeySignature, murmexHotKeyID}] = combination;
        return Registration::registered;
    case Private::GrabResult::refused:
        Log::write(QStringLiteral("[MurmexHotKeys] %1 ya lo utiliza otra aplicación.").arg(shortcut.display));
        return Registration::taken;
    case Private::GrabResult::noAnswer:
        break;
    }
    Log::write(QStringLiteral("[MurmexHotKeys] El servidor X no contestó al registrar %1.").arg(shortcut.display));
    return noServer();
}

QString X11HotKeys::unsupportedExplanation() const
{
    return d->unsupportedExplanation;
}

void X11HotKeys::unregisterDictationHotKey()
{
    d->unregister({murmexHotKeySignature, murmexHotKeyID});
}

bool X11HotKeys::registerAbortHotKey()
{
    d->unregister({murmexHotKeySignature, murmexAbortHotKeyID});
    if (!d->ensureConnection())
        return false;
    const Private::Grab escape{*keycodeAt(escapeVirtualKey), 0};
    if (d->grab(escape) != Private::GrabResult::grabbed) {
        qCInfo(lcX11HotKeys) << "Escape is held by another client: the abort key falls back to the key monitors";
        return false;
    }
    d->registeredHotKeys[{murmexHotKeySignature, murmexAbortHotKeyID}] = escape;
    return true;
}

void X11HotKeys::unregisterAbortHotKey()
{
    d->unregister({murmexHotKeySignature, murmexAbortHotKeyID});
    d->removeAbortKeyMonitors();
}

bool X11HotKeys::isHotKeyHeld() const
{
    return d->anyHeld();
}

void X11HotKeys::whenHotKeysReleased(QObject *context, std::function<void()> released)
{
    d->releaseWaiters.emplace_back(context, std::move(released));
    d->answerReleaseWaiters();
}

void X11HotKeys::installAbortKeyMonitorFallback()
{
    if (!d->abortKeyLocalMonitor && qApp) {
        d->abortKeyLocalMonitor = std::make_unique<EscapeFilter>([this] {
            if (d->listener)
                d->listener->abortHotKeyPressed();
        });
        qApp->installEventFilter(d->abortKeyLocalMonitor.get());
    }

    xcb_connection_t *c = d->ensureConnection();
    if (!c || d->abortKeyGlobalMonitor)
        return;
    if (!d->xinputChecked) {
        d->xinputChecked = true;
        // Raw events reach the root window even during another client's grab from XInput 2.1 on.
        uint8_t opcode = 0;
        if (d->extensionPresent(&xcb_input_id, &opcode)) {
            const auto version = d->replyWithin<xcb_input_xi_query_version_reply_t>(xcb_input_xi_query_version(c, 2, 2).sequence);
            if (version && (version->major_version > 2 || (version->major_version == 2 && version->minor_version >= 1)))
                d->xinputOpcode = opcode;
        }
    }
    if (!d->xinputOpcode) {
        Log::write(QStringLiteral("[MurmexHotKeys] Sin XInput 2.1: Escape solo cancela el dictado en las ventanas de Murmex."));
        return;
    }
    struct {
        xcb_input_event_mask_t header;
        uint32_t bits;
    } rawKeyPresses{{XCB_INPUT_DEVICE_ALL_MASTER, 1}, XCB_INPUT_XI_EVENT_MASK_RAW_KEY_PRESS};
    const xcb_void_cookie_t cookie = xcb_input_xi_select_events_checked(c, d->root, 1, &rawKeyPresses.header);
    if (!d->roundTrip()) {
        xcb_discard_reply(c, cookie.sequence);
        return;
    }
    if (const XcbReply<xcb_generic_error_t> error{xcb_request_check(c, cookie)}) {
        Log::write(QStringLiteral("[MurmexHotKeys] El servidor X rechazó vigilar Escape (error %1).").arg(error->error_code));
        return;
    }
    d->abortKeyGlobalMonitor = true;
}
