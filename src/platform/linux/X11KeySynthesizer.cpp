#include "X11KeySynthesizer.h"
#include "AccessibilityStatus.h"
#include "XcbSupport.h"

#include "support/Log.h"

#include <QFile>
#include <QLoggingCategory>

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

Q_LOGGING_CATEGORY(lcX11Keys, "murmex.platform.x11", QtInfoMsg)

namespace {

using namespace std::chrono_literals;

// How long a modifier the user still holds (typically from the dictation shortcut) is waited for
// before it is released on the user's behalf, and how often the keyboard is looked at meanwhile.
constexpr auto modifierReleaseWait = 300ms;
constexpr auto modifierPollInterval = 10ms;

// Terminal emulators paste with Ctrl+Shift+V (Ctrl+V reaches the shell as a literal ^V). Each one
// is listed under the names its windows (WM_CLASS) and its programs go by; compared ignoring case.
constexpr const char *terminalEmulators[] = {
    "gnome-terminal", "gnome-terminal-server",
    "kgx", "org.gnome.Console",                     // GNOME Console
    "ptyxis", "ptyxis-agent", "org.gnome.Ptyxis",
    "blackbox", "com.raggesilver.BlackBox",          // Black Box
    "konsole",
    "xfce4-terminal",
    "tilix",
    "alacritty",
    "kitty",
    "terminator",
    "urxvt", "rxvt-unicode", "urxvtc", "rxvt",
    "lxterminal",
    "mate-terminal",
    "qterminal",
    "foot", "footclient",
    "wezterm", "wezterm-gui", "org.wezfurlong.wezterm",
    "st", "st-256color",
    "sakura",
    "guake",
    "tilda",
    "terminology",
    "cool-retro-term",
    "contour",
    "rio",
    "ghostty", "com.mitchellh.ghostty",
};

// xterm (and its relative uxterm) pastes no clipboard with any key: Shift+Insert pastes the
// primary selection, which the caller fills with the text too.
constexpr const char *primarySelectionTerminals[] = {"xterm", "uxterm"};

// The keys used, by keysym, and where they sit on a US keyboard (evdev code + 8) for layouts that do
// not have them at all: shortcuts work by key position there too.
struct Key {
    xcb_keysym_t keysym;
    xcb_keycode_t byPosition;
};
constexpr Key controlKey{0xffe3, 37}; // Control_L
constexpr Key shiftKey{0xffe1, 50};   // Shift_L
constexpr Key vKey{0x0076, 55};       // v
constexpr Key insertKey{0xff63, 118}; // Insert
constexpr Key leftKey{0xff51, 113};   // Left
constexpr Key rightKey{0xff53, 114};  // Right

template <typename T>
using XcbReply = xcb::Reply<T>;
using xcb::internAtom;


XcbReply<xcb_get_property_reply_t> property(xcb_connection_t *connection, xcb_window_t window, xcb_atom_t name, xcb_atom_t type, uint32_t length)
{
    if (name == XCB_ATOM_NONE)
        return nullptr;
    return XcbReply<xcb_get_property_reply_t>(
        xcb_get_property_reply(connection, xcb_get_property(connection, 0, window, name, type, 0, length), nullptr));
}

std::optional<uint32_t> cardinalProperty(xcb_connection_t *connection, xcb_window_t window, xcb_atom_t name, xcb_atom_t type)
{
    const auto reply = property(connection, window, name, type, 1);
    if (!reply || xcb_get_property_value_length(reply.get()) < int(sizeof(uint32_t)))
        return std::nullopt;
    return *static_cast<uint32_t *>(xcb_get_property_value(reply.get()));
}

// WM_CLASS holds two NUL-terminated strings: the instance name and the class name.
QStringList windowClass(xcb_connection_t *connection, xcb_window_t window)
{
    const auto reply = property(connection, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 256);
    if (!reply)
        return {};
    const auto *value = static_cast<const char *>(xcb_get_property_value(reply.get()));
    const QByteArray bytes(value, xcb_get_property_value_length(reply.get()));
    QStringList names;
    for (const QByteArray &part : bytes.split('\0'))
        if (!part.isEmpty())
            names.append(QString::fromLocal8Bit(part));
    return names;
}

struct FocusedWindow {
    std::optional<qint64> processId;
    QStringList windowClass;
};

// The window that receives synthetic keys: the active window when a window manager publishes one
// (GTK's input focus is often a child window), else the input focus or its nearest ancestor that
// says which program it belongs to.
FocusedWindow focusedWindow(xcb_connection_t *connection)
{
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    const xcb_atom_t pidAtom = internAtom(connection, "_NET_WM_PID");
    auto describe = [&](xcb_window_t window) {
        FocusedWindow focused;
        if (const auto pid = cardinalProperty(connection, window, pidAtom, XCB_ATOM_CARDINAL))
            focused.processId = qint64(*pid);
        focused.windowClass = windowClass(connection, window);
        return focused;
    };

    if (const auto active = cardinalProperty(connection, root, internAtom(connection, "_NET_ACTIVE_WINDOW"), XCB_ATOM_WINDOW);
        active && *active != XCB_WINDOW_NONE)
        return describe(*active);

    XcbReply<xcb_get_input_focus_reply_t> focus(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
    xcb_window_t window = focus ? focus->focus : xcb_window_t(XCB_WINDOW_NONE);
    for (int depth = 0; depth < 16 && window != XCB_WINDOW_NONE && window != root && window != XCB_INPUT_FOCUS_POINTER_ROOT; ++depth) {
        if (FocusedWindow focused = describe(window); focused.processId || !focused.windowClass.isEmpty())
            return focused;
        XcbReply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(connection, xcb_query_tree(connection, window), nullptr));
        if (!tree)
            break;
        window = tree->parent;
    }
    return {};
}

// The program behind a process: the file name it was started as, and the kernel's (shortened) name.
QStringList programNames(qint64 processId)
{
    QStringList names;
    QFile commandLine(QStringLiteral("/proc/%1/cmdline").arg(processId));
    if (commandLine.open(QIODevice::ReadOnly)) {
        const QByteArray first = commandLine.readAll().split('\0').value(0);
        if (!first.isEmpty())
            names.append(QString::fromLocal8Bit(first.mid(first.lastIndexOf('/') + 1)));
    }
    QFile kernelName(QStringLiteral("/proc/%1/comm").arg(processId));
    if (kernelName.open(QIODevice::ReadOnly))
        names.append(QString::fromLocal8Bit(kernelName.readAll().trimmed()));
    return names;
}

// The keycode that produces a keysym in the current keyboard mapping, preferring the first group's
// two levels (the key a user would press for it); by key position when the layout lacks it.
class KeyboardMapping {
public:
    explicit KeyboardMapping(xcb_connection_t *connection)
    {
        const xcb_setup_t *setup = xcb_get_setup(connection);
        minKeycode = setup->min_keycode;
        reply.reset(xcb_get_keyboard_mapping_reply(
            connection, xcb_get_keyboard_mapping(connection, setup->min_keycode, uint8_t(setup->max_keycode - setup->min_keycode + 1)), nullptr));
        if (!reply)
            qCWarning(lcX11Keys) << "the keyboard mapping could not be read: keys are chosen by position";
    }

    xcb_keycode_t keycode(Key key) const
    {
        if (!reply || reply->keysyms_per_keycode == 0)
            return key.byPosition;
        const int perKeycode = reply->keysyms_per_keycode;
        const xcb_keysym_t *keysyms = xcb_get_keyboard_mapping_keysyms(reply.get());
        const int keycodes = xcb_get_keyboard_mapping_keysyms_length(reply.get()) / perKeycode;
        for (const int columns : {std::min(perKeycode, 2), perKeycode}) {
            for (int index = 0; index < keycodes; ++index) {
                for (int column = 0; column < columns; ++column) {
                    if (keysyms[index * perKeycode + column] == key.keysym)
                        return xcb_keycode_t(minKeycode + index);
                }
            }
        }
        return key.byPosition;
    }

private:
    xcb_keycode_t minKeycode = 8;
    XcbReply<xcb_get_keyboard_mapping_reply_t> reply;
};

std::vector<xcb_keycode_t> modifierKeycodes(xcb_connection_t *connection)
{
    XcbReply<xcb_get_modifier_mapping_reply_t> reply(
        xcb_get_modifier_mapping_reply(connection, xcb_get_modifier_mapping(connection), nullptr));
    if (!reply)
        return {};
    const xcb_keycode_t *codes = xcb_get_modifier_mapping_keycodes(reply.get());
    std::vector<xcb_keycode_t> keycodes;
    for (int index = 0; index < xcb_get_modifier_mapping_keycodes_length(reply.get()); ++index) {
        if (codes[index] != 0 && std::find(keycodes.begin(), keycodes.end(), codes[index]) == keycodes.end())
            keycodes.push_back(codes[index]);
    }
    return keycodes;
}

std::vector<xcb_keycode_t> keysDown(xcb_connection_t *connection, const std::vector<xcb_keycode_t> &among)
{
    XcbReply<xcb_query_keymap_reply_t> keymap(xcb_query_keymap_reply(connection, xcb_query_keymap(connection), nullptr));
    std::vector<xcb_keycode_t> down;
    if (!keymap)
        return down;
    for (const xcb_keycode_t code : among) {
        if (keymap->keys[code / 8] & (1 << (code % 8)))
            down.push_back(code);
    }
    return down;
}

bool postKey(xcb_connection_t *connection, xcb_keycode_t keycode, bool press)
{
    const xcb_void_cookie_t cookie =
        xcb_test_fake_input_checked(connection, press ? XCB_KEY_PRESS : XCB_KEY_RELEASE, keycode, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    if (XcbReply<xcb_generic_error_t> error(xcb_request_check(connection, cookie)); error) {
        qCWarning(lcX11Keys) << "XTEST refused a key" << (press ? "press" : "release") << "of keycode" << keycode
                             << "with X error" << error->error_code;
        return false;
    }
    return true;
}

// Presses the modifiers in order, then the key, and releases everything in reverse order. When a
// press is refused the chord is abandoned, and the keys already down are released: a lone V must
// not be typed where a paste was meant. True when every press and release was accepted.
bool postChord(xcb_connection_t *connection, const std::vector<xcb_keycode_t> &keys)
{
    std::vector<xcb_keycode_t> pressed;
    for (const xcb_keycode_t key : keys) {
        if (!postKey(connection, key, true))
            break;
        pressed.push_back(key);
    }
    bool released = true;
    for (auto key = pressed.rbegin(); key != pressed.rend(); ++key)
        released = postKey(connection, *key, false) && released;
    return released && pressed.size() == keys.size();
}

} // namespace

void X11KeySynthesizer::ConnectionDeleter::operator()(xcb_connection_t *connection) const
{
    xcb_disconnect(connection);
}

X11KeySynthesizer::X11KeySynthesizer() = default;
X11KeySynthesizer::~X11KeySynthesizer() = default;

xcb_connection_t *X11KeySynthesizer::connection()
{
    if (connection_ && !xcb_connection_has_error(connection_.get()))
        return connection_.get();
    // A connection of its own, so that the round trips here never interleave with Qt's.
    connection_.reset(xcb_connect(nullptr, nullptr));
    if (const int error = xcb_connection_has_error(connection_.get())) {
        qCWarning(lcX11Keys) << "no connection to the X server (xcb error" << error << "): keys cannot be posted";
        connection_.reset();
        hasXTest = false;
        return nullptr;
    }
    const xcb_query_extension_reply_t *extension = xcb_get_extension_data(connection_.get(), &xcb_test_id);
    hasXTest = extension && extension->present;
    if (!hasXTest)
        qCWarning(lcX11Keys) << "the X server has no XTEST extension: keys cannot be posted";
    return connection_.get();
}

bool X11KeySynthesizer::trusted()
{
    return connection() && hasXTest;
}

void X11KeySynthesizer::promptForTrust()
{
    // Toolkits expose their text fields only when accessibility is on; turned on once per launch,
    // and only when it is off.
    AccessibilityStatus::enableOnce();
}

bool X11KeySynthesizer::focusBelongsTo(std::optional<qint64> targetProcessId)
{
    if (!targetProcessId)
        return true;
    // Process ids are compared as the windows publish them (_NET_WM_PID), which is also where the
    // target's id came from; a sandboxed program's id need not exist in this process's view.
    const FocusedWindow focused = focusedWindow(connection_.get());
    if (focused.processId && *focused.processId != *targetProcessId) {
        // The user moved on to another window: the text stays on the clipboard, and the log says why.
        Log::write(QStringLiteral("[MurmexInsertion] El foco está en otro programa (pid %1, no %2): el texto queda en el portapapeles.")
                       .arg(*focused.processId)
                       .arg(*targetProcessId));
        return false;
    }
    return true;
}

void X11KeySynthesizer::releaseHeldModifiers()
{
    if (!trusted())
        return;
    xcb_connection_t *c = connection_.get();
    const std::vector<xcb_keycode_t> modifiers = modifierKeycodes(c);
    const auto deadline = std::chrono::steady_clock::now() + modifierReleaseWait;
    std::vector<xcb_keycode_t> held = keysDown(c, modifiers);
    while (!held.empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(modifierPollInterval);
        held = keysDown(c, modifiers);
    }
    if (held.empty())
        return;
    qCInfo(lcX11Keys) << held.size() << "modifier keys still held: released before posting";
    for (const xcb_keycode_t code : held)
        postKey(c, code, false);
}

KeySynthesizer::Delivery X11KeySynthesizer::postPaste(std::optional<qint64> targetProcessId, PasteKeys keys)
{
    if (!trusted())
        return Delivery::failed;
    if (!focusBelongsTo(targetProcessId))
        return Delivery::focusElsewhere;
    releaseHeldModifiers();
    const KeyboardMapping mapping(connection_.get());
    std::vector<xcb_keycode_t> chord;
    switch (keys) {
    case PasteKeys::controlV: chord = {mapping.keycode(controlKey), mapping.keycode(vKey)}; break;
    case PasteKeys::controlShiftV: chord = {mapping.keycode(controlKey), mapping.keycode(shiftKey), mapping.keycode(vKey)}; break;
    case PasteKeys::shiftInsert: chord = {mapping.keycode(shiftKey), mapping.keycode(insertKey)}; break;
    }
    return postChord(connection_.get(), chord) ? Delivery::posted : Delivery::failed;
}

void X11KeySynthesizer::postNudge(std::optional<qint64> targetProcessId)
{
    if (!trusted() || !focusBelongsTo(targetProcessId))
        return;
    // A held Shift would turn the nudge into a selection.
    releaseHeldModifiers();
    const KeyboardMapping mapping(connection_.get());
    if (postChord(connection_.get(), {mapping.keycode(leftKey)}))
        postChord(connection_.get(), {mapping.keycode(rightKey)});
}

KeySynthesizer::PasteKeys X11KeySynthesizer::pasteKeys(std::optional<qint64> targetProcessId)
{
    xcb_connection_t *c = connection();
    if (!c)
        return PasteKeys::controlV;
    const FocusedWindow focused = focusedWindow(c);
    QStringList names = focused.windowClass;
    if (const std::optional<qint64> processId = focused.processId ? focused.processId : targetProcessId)
        names += programNames(*processId);
    return pasteKeysFor(names);
}

KeySynthesizer::PasteKeys X11KeySynthesizer::pasteKeysFor(const QStringList &names)
{
    const auto named = [&names](const auto &list) {
        return std::any_of(names.begin(), names.end(), [&list](const QString &name) {
            return std::any_of(std::begin(list), std::end(list), [&name](const char *known) {
                return name.compare(QLatin1StringView(known), Qt::CaseInsensitive) == 0;
            });
        });
    };
    if (named(primarySelectionTerminals))
        return PasteKeys::shiftInsert;
    if (named(terminalEmulators))
        return PasteKeys::controlShiftV;
    return PasteKeys::controlV;
}
