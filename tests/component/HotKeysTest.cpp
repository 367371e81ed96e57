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

namespace {

constexpr int deliveryTimeout = 5000;

// X key codes on the desktop's PC keyboard (evdev code + 8) and the X modifiers of ⌃⌥⌘.
constexpr xcb_keycode_t escapeKeycode = 9, tKeycode = 28;
constexpr uint16_t controlOptionCommand = XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_4;

constexpr std::array<uint16_t, 4> allLockVariants{0, XCB_MOD_MASK_LOCK, XCB_MOD_MASK_2, XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2};

const Shortcut controlOptionCommandT{0x11, 0x1900, QStringLiteral("⌃⌥⌘T")};

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
    void escapeIsDeliveredOnlyWhileTheAbortKeyIsRegistered();
    void combinationHeldElsewhereIsTakenAndThePreviousOneWorksAgain_data();
    void combinationHeldElsewhereIsTakenAndThePreviousOneWorksAgain();
    void globalMonitorSeesEscapeGrabbedByAnotherClient();
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
    QTest::newRow("⌃⌥⌘D") << standard << QStringList{} << "ctrl+alt+super+d";
    QTest::newRow("⌃⌥⌘D, Caps Lock on") << standard << QStringList{"Caps_Lock"} << "ctrl+alt+super+d";
    QTest::newRow("⌃⌥⌘D, Num Lock on") << standard << QStringList{"Num_Lock"} << "ctrl+alt+super+d";
    QTest::newRow("⌃⌥⌘D, both locks on") << standard << QStringList{"Caps_Lock", "Num_Lock"} << "ctrl+alt+super+d";
    QTest::newRow("⌃⇧F5") << Shortcut{96, 0x1200, "⌃⇧F5"} << QStringList{} << "ctrl+shift+F5";
    QTest::newRow("⌥Espacio") << Shortcut{49, 0x800, "⌥Espacio"} << QStringList{} << "alt+space";
    QTest::newRow("⌘/") << Shortcut{44, 0x100, "⌘/"} << QStringList{} << "super+slash";
    QTest::newRow("⌃⌥5, digits out of order") << Shortcut{23, 0x1800, "⌃⌥5"} << QStringList{} << "ctrl+alt+5";
    QTest::newRow("⌃⌥←") << Shortcut{123, 0x1800, "⌃⌥←"} << QStringList{} << "ctrl+alt+Left";
    // The XKB keymap puts XF86Launch5, not F14, at the F14 position of a PC keyboard.
    QTest::newRow("⌃⌥⌘F14") << Shortcut{107, 0x1900, "⌃⌥⌘F14"} << QStringList{} << "ctrl+alt+super+XF86Launch5";
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

// The shortcut's press after the last Escape shows that this Escape has had its chance to arrive.
void HotKeysTest::escapeIsDeliveredOnlyWhileTheAbortKeyIsRegistered()
{
    QCOMPARE(hotKeys->registerDictationHotKey(Shortcut::defaultShortcut()), HotKeys::Registration::registered);
    QVERIFY(hotKeys->registerAbortHotKey());
    QVERIFY(xdotool({"key", "Escape"}));
    QTRY_COMPARE_WITH_TIMEOUT(listener.events, QStringList{"abort"}, deliveryTimeout);

    hotKeys->unregisterAbortHotKey();
    QVERIFY(xdotool({"key", "Escape"}));
    QVERIFY(xdotool({"key", "ctrl+alt+super+d"}));
    QTRY_COMPARE_WITH_TIMEOUT(listener.events, (QStringList{"abort", "press", "release"}), deliveryTimeout);

    // Another program may now take Escape: the grab is really gone, in every lock variant.
    OtherClient other;
    for (const uint16_t variant : allLockVariants)
        QVERIFY(other.grab(escapeKeycode, variant));
}

// The other program holds one lock variant of ⌃⌥⌘T. The variants granted before the refusal must
// be given back, so that afterwards it can grab all four.
void HotKeysTest::combinationHeldElsewhereIsTakenAndThePreviousOneWorksAgain_data()
{
    QTest::addColumn<uint16_t>("heldVariant");
    QTest::newRow("plain") << uint16_t(0);
    QTest::newRow("with Caps Lock") << uint16_t(XCB_MOD_MASK_LOCK);
    QTest::newRow("with Caps Lock and Num Lock") << uint16_t(XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2);
}

void HotKeysTest::combinationHeldElsewhereIsTakenAndThePreviousOneWorksAgain()
{
    QFETCH(uint16_t, heldVariant);
    OtherClient other;
    QVERIFY(other.grab(tKeycode, controlOptionCommand | heldVariant));
    const Shortcut previous = Shortcut::defaultShortcut();
    QCOMPARE(hotKeys->registerDictationHotKey(previous), HotKeys::Registration::registered);

    QCOMPARE(hotKeys->registerDictationHotKey(controlOptionCommandT), HotKeys::Registration::taken);
    for (const uint16_t variant : allLockVariants)
        QVERIFY(other.grab(tKeycode, controlOptionCommand | variant));

    QCOMPARE(hotKeys->registerDictationHotKey(previous), HotKeys::Registration::registered);
    QVERIFY(xdotool({"key", "ctrl+alt+super+t"}));
    QVERIFY(xdotool({"key", "ctrl+alt+super+d"}));
    QTRY_COMPARE_WITH_TIMEOUT(listener.events, (QStringList{"press", "release"}), deliveryTimeout);
}

void HotKeysTest::globalMonitorSeesEscapeGrabbedByAnotherClient()
{
    OtherClient other;
    QVERIFY(other.grab(escapeKeycode, 0));
    QCOMPARE(hotKeys->registerDictationHotKey(Shortcut::defaultShortcut()), HotKeys::Registration::registered);
    QVERIFY(!hotKeys->registerAbortHotKey());
    hotKeys->installAbortKeyMonitorFallback();

    QVERIFY(xdotool({"key", "Escape"}));
    QTRY_COMPARE_WITH_TIMEOUT(listener.events, QStringList{"abort"}, deliveryTimeout);

    hotKeys->unregisterAbortHotKey();
    QVERIFY(xdotool({"key", "Escape"}));
    QVERIFY(xdotool({"key", "ctrl+alt+super+d"}));
    QTRY_COMPARE_WITH_TIMEOUT(listener.events, (QStringList{"abort", "press", "release"}), deliveryTimeout);
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
