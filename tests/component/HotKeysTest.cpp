// The global hot keys on the headless desktop's X server, pressed with xdotool as a user presses
// them, with a second X client standing in for another program that already holds a combination.

#include "platform/linux/X11HotKeys.h"

#include <QApplication>
#include <QKeyEvent>
#include <QProcess>
#include <QShortcut>
#include <QTest>
#include <QWidget>

#include <xcb/xcb.h>

#include <array>
#include <cstdlib>

Q_DECLARE_METATYPE(Shortcut)
Q_DECLARE_METATYPE(HotKeys::Registration)

namespace {

constexpr int deliveryTimeout = 5000;

// X key codes on the desktop's PC keyboard (evdev code + 8) and the X modifiers of Ctrl+Alt+Super.
constexpr xcb_keycode_t escapeKeycode = 9, dKeycode = 40, tKeycode = 28;
constexpr uint16_t controlAltSuper = XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_4;

constexpr std::array<uint16_t, 4> allLockVariants{0, XCB_MOD_MASK_LOCK, XCB_MOD_MASK_2, XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2};

struct RecordingListener final : HotKeyListener {
    QStringList events;
    void dictationHotKeyPressed() override { events.append(QStringLiteral("press")); }
    void dictationHotKeyReleased() override { events.append(QStringLiteral("release")); }
    void abortHotKeyPressed() override { events.append(QStringLiteral("abort")); }
};

bool xdotool(const QStringList &arguments)
{
    return QProcess::execute(QStringLiteral("xdotool"), arguments) == 0;
}

// Another program on the same display, holding key grabs of its own.
class OtherClient {
public:
    OtherClient() : connection(xcb_connect(nullptr, nullptr))
    {
        root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    }
    ~OtherClient() { xcb_disconnect(connection); }
    OtherClient(const OtherClient &) = delete;
    OtherClient &operator=(const OtherClient &) = delete;

    bool grab(xcb_keycode_t keycode, uint16_t modifiers)
    {
        xcb_generic_error_t *error = xcb_request_check(
            connection, xcb_grab_key_checked(connection, 1, root, modifiers, keycode, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
        std::free(error);
        return error == nullptr;
    }

private:
    xcb_connection_t *connection;
    xcb_window_t root;
};

// A window of ours that counts the Escape presses it is given.
class EscapeCountingWidget final : public QWidget {
public:
    int escapes = 0;
    QString typed;

protected:
    void keyPressEvent(QKeyEvent *event) override
    {
        if (event->key() == Qt::Key_Escape)
            ++escapes;
        else
            typed += event->text();
    }
};

} // namespace

class HotKeysTest : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        hotKeys = std::make_unique<X11HotKeys>();
        listener.events.clear();
        hotKeys->installHandler(listener);
    }
    void cleanup() { hotKeys.reset(); }

    void shortcutGivesOnePressAndOneRelease_data();
    void shortcutGivesOnePressAndOneRelease();
    void heldShortcutRepeatsPressesAndReleasesOnce();
    void escapeAbortsOnlyWhileRegistered_data();
    void escapeAbortsOnlyWhileRegistered();
    void refusedCombinationIsNotGrabbedAndThePreviousOneWorksAgain_data();
    void refusedCombinationIsNotGrabbedAndThePreviousOneWorksAgain();
    void localMonitorTakesEscapeFromOurWindows();

private:
    std::unique_ptr<X11HotKeys> hotKeys;
    RecordingListener listener;
};

void HotKeysTest::shortcutGivesOnePressAndOneRelease_data()
{
    QTest::addColumn<Shortcut>("shortcut");
    QTest::addColumn<QStringList>("locks");
    QTest::addColumn<QString>("keys");

    const Shortcut standard = Shortcut::defaultShortcut();
    QTest::newRow("Ctrl+Alt+Super+D") << standard << QStringList{} << "ctrl+alt+super+d";
    QTest::newRow("Caps Lock on") << standard << QStringList{"Caps_Lock"} << "ctrl+alt+super+d";
    QTest::newRow("Num Lock on") << standard << QStringList{"Num_Lock"} << "ctrl+alt+super+d";
    QTest::newRow("both locks on") << standard << QStringList{"Caps_Lock", "Num_Lock"} << "ctrl+alt+super+d";
    QTest::newRow("Ctrl+Shift+F5") << Shortcut{96, 0x1200} << QStringList{} << "ctrl+shift+F5";
    QTest::newRow("Alt+Espacio") << Shortcut{49, 0x800} << QStringList{} << "alt+space";
    QTest::newRow("Super+/") << Shortcut{44, 0x100} << QStringList{} << "super+slash";
    QTest::newRow("Ctrl+Alt+5, digits out of order") << Shortcut{23, 0x1800} << QStringList{} << "ctrl+alt+5";
    QTest::newRow("Ctrl+Alt+Izquierda") << Shortcut{123, 0x1800} << QStringList{} << "ctrl+alt+Left";
    // The XKB keymap puts XF86Launch5, not F14, at the F14 position of a PC keyboard.
    QTest::newRow("Ctrl+Alt+Super+F14") << Shortcut{107, 0x1900} << QStringList{} << "ctrl+alt+super+XF86Launch5";
}

void HotKeysTest::shortcutGivesOnePressAndOneRelease()
{
    QFETCH(Shortcut, shortcut);
    QFETCH(QStringList, locks);
    QFETCH(QString, keys);

    for (const QString &lock : locks)
        QVERIFY(xdotool({"key", lock}));
    const auto unlock = qScopeGuard([&] {
        for (const QString &lock : locks)
            xdotool({"key", lock});
    });

    QCOMPARE(hotKeys->registerDictationHotKey(shortcut), HotKeys::Registration::registered);
    QVERIFY(xdotool({"key", keys}));
    QTRY_COMPARE_WITH_TIMEOUT(listener.events, (QStringList{"press", "release"}), deliveryTimeout);
}

// The X server repeats a held key. Every repeat is delivered as a press (the controller ignores
// presses while the key is down); only the real release is delivered as a release. Escape, pressed
// afterwards, marks the end of what the hold produced.
void HotKeysTest::heldShortcutRepeatsPressesAndReleasesOnce()
{
    QCOMPARE(hotKeys->registerDictationHotKey(Shortcut::defaultShortcut()), HotKeys::Registration::registered);
    QVERIFY(hotKeys->registerAbortHotKey());

    QVERIFY(xdotool({"keydown", "ctrl+alt+super+d"}));
    const auto releaseKeys = qScopeGuard([] { xdotool({"keyup", "ctrl+alt+super+d"}); });
    QTRY_VERIFY_WITH_TIMEOUT(listener.events.count("press") >= 3, deliveryTimeout);
    QCOMPARE(listener.events.count("release"), 0);
    QVERIFY(xdotool({"keyup", "ctrl+alt+super+d"}));
    QVERIFY(xdotool({"key", "Escape"}));

    QTRY_VERIFY_WITH_TIMEOUT(listener.events.contains("abort"), deliveryTimeout);
    const qsizetype presses = listener.events.count("press");
    QStringList expected(presses, QStringLiteral("press"));
    expected << "release" << "abort";
    QCOMPARE(listener.events, expected);
}

// Escape aborts through its grab, or through the global monitor while another program holds it;
// once unregistered it does not. The shortcut's press after the last Escape shows that this Escape
// has had its chance to arrive.
void HotKeysTest::escapeAbortsOnlyWhileRegistered_data()
{
    QTest::addColumn<bool>("heldElsewhere");
    QTest::newRow("grabbed") << false;
    QTest::newRow("held by another program") << true;
}

void HotKeysTest::escapeAbortsOnlyWhileRegistered()
{
    QFETCH(bool, heldElsewhere);
    OtherClient other;
    QVERIFY(!heldElsewhere || other.grab(escapeKeycode, 0));
    QCOMPARE(hotKeys->registerDictationHotKey(Shortcut::defaultShortcut()), HotKeys::Registration::registered);
    QCOMPARE(hotKeys->registerAbortHotKey(), !heldElsewhere);
    if (heldElsewhere)
        hotKeys->installAbortKeyMonitorFallback();
    QVERIFY(xdotool({"key", "Escape"}));
    QTRY_COMPARE_WITH_TIMEOUT(listener.events, QStringList{"abort"}, deliveryTimeout);

    hotKeys->unregisterAbortHotKey();
    QVERIFY(xdotool({"key", "Escape"}));
    QVERIFY(xdotool({"key", "ctrl+alt+super+d"}));
    QTRY_COMPARE_WITH_TIMEOUT(listener.events, (QStringList{"abort", "press", "release"}), deliveryTimeout);
    // The grab is really gone, in every lock variant: another program may take Escape now.
    for (const uint16_t variant : allLockVariants)
        QVERIFY(heldElsewhere || other.grab(escapeKeycode, variant));
}

// A refused combination leaves no grab behind, in any lock variant, and the previous shortcut works
// again. Another program holds one lock variant of Ctrl+Alt+Super+T: the variants granted before
// the refusal are given back. Without Ctrl, Alt or Super a grab would steal a key from every
// program; in a Wayland session it would miss the keys of Wayland programs (and the user is told).
void HotKeysTest::refusedCombinationIsNotGrabbedAndThePreviousOneWorksAgain_data()
{
    QTest::addColumn<Shortcut>("refused");
    QTest::addColumn<int>("keycode");
    QTest::addColumn<uint16_t>("xModifiers");
    QTest::addColumn<int>("heldVariant"); // -1: the other program holds nothing
    QTest::addColumn<QByteArray>("waylandDisplay");
    QTest::addColumn<HotKeys::Registration>("registration");
    const auto row = [](const char *label, const Shortcut &refused, xcb_keycode_t keycode, uint16_t modifiers, int heldVariant,
                        const char *waylandDisplay, HotKeys::Registration registration) {
        QTest::newRow(label) << refused << int(keycode) << modifiers << heldVariant << QByteArray(waylandDisplay) << registration;
    };
    using enum HotKeys::Registration;
    row("held plain", Shortcut{0x11, 0x1900}, tKeycode, controlAltSuper, 0, "", taken);
    row("held with both locks", Shortcut{0x11, 0x1900}, tKeycode, controlAltSuper, XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2, "", taken);
    row("bare D", Shortcut{2, 0}, dKeycode, 0, -1, "", taken);
    row("Shift+D", Shortcut{2, 0x200}, dKeycode, XCB_MOD_MASK_SHIFT, -1, "", taken);
    row("Wayland session", Shortcut::defaultShortcut(), dKeycode, controlAltSuper, -1, "wayland-0", unsupported);
}

void HotKeysTest::refusedCombinationIsNotGrabbedAndThePreviousOneWorksAgain()
{
    QFETCH(Shortcut, refused);
    QFETCH(int, keycode);
    QFETCH(uint16_t, xModifiers);
    QFETCH(int, heldVariant);
    QFETCH(QByteArray, waylandDisplay);
    QFETCH(HotKeys::Registration, registration);
    OtherClient other;
    if (heldVariant >= 0)
        QVERIFY(other.grab(keycode, xModifiers | heldVariant));
    const Shortcut previous{96, 0x1200};
    QCOMPARE(hotKeys->registerDictationHotKey(previous), HotKeys::Registration::registered);

    if (!waylandDisplay.isEmpty())
        qputenv("WAYLAND_DISPLAY", waylandDisplay);
    QCOMPARE(hotKeys->registerDictationHotKey(refused), registration);
    qunsetenv("WAYLAND_DISPLAY");
    QCOMPARE(hotKeys->unsupportedExplanation().isEmpty(), registration != HotKeys::Registration::unsupported);
    for (const uint16_t variant : allLockVariants)
        QVERIFY(other.grab(keycode, xModifiers | variant));

    QCOMPARE(hotKeys->registerDictationHotKey(previous), HotKeys::Registration::registered);
    QVERIFY(xdotool({"key", "ctrl+shift+F5"}));
    QTRY_COMPARE_WITH_TIMEOUT(listener.events, (QStringList{"press", "release"}), deliveryTimeout);
}

// Escape typed into one of our windows aborts once (the global monitor leaves it to the local
// one) and reaches neither the window nor its Escape shortcut; other keys do. Once the monitor is
// removed, the window gets Escape again.
void HotKeysTest::localMonitorTakesEscapeFromOurWindows()
{
    EscapeCountingWidget window;
    int shortcutEscapes = 0;
    QShortcut cancel(Qt::Key_Escape, &window, [&] { ++shortcutEscapes; });
    window.resize(200, 100);
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    hotKeys->installAbortKeyMonitorFallback();

    QVERIFY(xdotool({"key", "Escape", "a"}));
    QTRY_COMPARE_WITH_TIMEOUT(window.typed, QStringLiteral("a"), deliveryTimeout);
    QCOMPARE(listener.events, QStringList{"abort"});
    QCOMPARE(window.escapes + shortcutEscapes, 0);

    hotKeys->unregisterAbortHotKey();
    QVERIFY(xdotool({"key", "Escape", "b"}));
    QTRY_COMPARE_WITH_TIMEOUT(window.typed, QStringLiteral("ab"), deliveryTimeout);
    QCOMPARE(window.escapes + shortcutEscapes, 1);
    QCOMPARE(listener.events, QStringList{"abort"});
}

QTEST_MAIN(HotKeysTest)
#include "HotKeysTest.moc"
