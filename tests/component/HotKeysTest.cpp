// The global hot keys on the headless desktop's X server, pressed with xdotool as a user presses
// them, with a second X client standing in for another program that already holds a combination.

#include "platform/linux/X11HotKeys.h"

#include <QApplication>
#include <QLineEdit>
#include <QProcess>
#include <QShortcut>
#include <QTest>

#include <xcb/xcb.h>

#include <array>
#include <cstdlib>
#include <memory>

Q_DECLARE_METATYPE(Shortcut)
Q_DECLARE_METATYPE(HotKeys::Registration)

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr int deliveryTimeout = 5000;

// X key codes on the desktop's PC keyboard (evdev code + 8) and the X modifiers of Ctrl+Alt+Super.
constexpr xcb_keycode_t escapeKeycode = 9, dKeycode = 40, tKeycode = 28;
constexpr uint16_t controlAltSuper = XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_4;

constexpr std::array<uint16_t, 4> allLockVariants{0, XCB_MOD_MASK_LOCK, XCB_MOD_MASK_2, XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2};

struct RecordingListener final : HotKeyListener {
    QStringList events;
    void dictationHotKeyPressed() override { events.append(u"press"_s); }
    void dictationHotKeyReleased() override { events.append(u"release"_s); }
    void abortHotKeyPressed() override { events.append(u"abort"_s); }
};

bool xdotool(const QStringList &arguments) { return QProcess::execute(u"xdotool"_s, arguments) == 0; }

// Another program on the same display, holding key grabs of its own.
class OtherClient {
public:
    bool grab(xcb_keycode_t keycode, uint16_t modifiers)
    {
        xcb_connection_t *c = connection.get();
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
        xcb_generic_error_t *error = xcb_request_check(c, xcb_grab_key_checked(c, 1, root, modifiers, keycode, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
        const bool granted = error == nullptr;
        std::free(error);
        return granted;
    }

private:
    std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> connection{xcb_connect(nullptr, nullptr), xcb_disconnect};
};

} // namespace

class HotKeysTest : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        listener.events.clear();
        hotKeys = std::make_unique<X11HotKeys>();
        hotKeys->installHandler(listener);
    }
    void cleanup() { hotKeys.reset(); }

    // Each lock variant is a grab of its own; Alt alone tells Alt from Super. Every repeat of a held
    // key is a press, only the real release a release. Escape aborts through its grab, or through the
    // global monitor while another program holds it; once unregistered it does not (the shortcut
    // pressed after it shows it had its chance to arrive), and its grab is gone in every lock variant.
    void shortcutAndEscapeArrive_data()
    {
        QTest::addColumn<Shortcut>("shortcut");
        QTest::addColumn<QString>("keys");
        QTest::addColumn<QStringList>("locks");
        QTest::addColumn<bool>("held");
        QTest::addColumn<bool>("escapeElsewhere");
        const Shortcut standard = Shortcut::defaultShortcut();
        const QString standardKeys = u"ctrl+alt+super+d"_s;
        QTest::newRow("Caps Lock on") << standard << standardKeys << QStringList{"Caps_Lock"} << false << false;
        QTest::newRow("Num Lock on") << standard << standardKeys << QStringList{"Num_Lock"} << false << false;
        QTest::newRow("both locks on") << standard << standardKeys << QStringList{"Caps_Lock", "Num_Lock"} << false << false;
        QTest::newRow("Alt+Espacio") << Shortcut{49, 0x800} << u"alt+space"_s << QStringList{} << false << false;
        QTest::newRow("held past the auto-repeat delay") << standard << standardKeys << QStringList{} << true << false;
        QTest::newRow("Escape held by another program") << standard << standardKeys << QStringList{} << false << true;
    }

    void shortcutAndEscapeArrive()
    {
        QFETCH(Shortcut, shortcut);
        QFETCH(QString, keys);
        QFETCH(QStringList, locks);
        QFETCH(bool, held);
        QFETCH(bool, escapeElsewhere);
        OtherClient other;
        QVERIFY(!escapeElsewhere || other.grab(escapeKeycode, 0));
        for (const QString &lock : locks)
            QVERIFY(xdotool({"key", lock}));
        const auto restore = qScopeGuard([&] {
            for (const QString &lock : locks)
                xdotool({"key", lock});
            if (held)
                xdotool({"keyup", keys});
        });
        QCOMPARE(hotKeys->registerDictationHotKey(shortcut), HotKeys::Registration::registered);
        QCOMPARE(hotKeys->registerAbortHotKey(), !escapeElsewhere);
        if (escapeElsewhere)
            hotKeys->installAbortKeyMonitorFallback();

        if (held) {
            QVERIFY(xdotool({"keydown", keys}));
            QTRY_VERIFY_WITH_TIMEOUT(listener.events.count("press") >= 3, deliveryTimeout);
        }
        QVERIFY(xdotool({held ? "keyup" : "key", keys}));
        QVERIFY(xdotool({"key", "Escape"}));
        QTRY_VERIFY_WITH_TIMEOUT(listener.events.contains("abort"), deliveryTimeout);
        hotKeys->unregisterAbortHotKey();
        QVERIFY(xdotool({"key", "Escape", keys}));
        QTRY_COMPARE_WITH_TIMEOUT(listener.events.count("release"), 2, deliveryTimeout);

        const qsizetype presses = listener.events.count("press") - 1;
        QVERIFY(held ? presses >= 3 : presses == 1);
        QCOMPARE(listener.events, QStringList(presses, u"press"_s) << "release" << "abort" << "press" << "release");
        for (const uint16_t variant : allLockVariants)
            QVERIFY(escapeElsewhere || other.grab(escapeKeycode, variant));
    }

    // A refused combination leaves no grab behind in any lock variant (when another program holds the
    // last one, those granted before are given back) and the previous shortcut works again. Without
    // Ctrl, Alt or Super a grab would steal a key from every program; under Wayland it is explained.
    void refusedCombinationIsNotGrabbedAndThePreviousOneWorksAgain_data()
    {
        QTest::addColumn<Shortcut>("refused");
        QTest::addColumn<int>("keycode");
        QTest::addColumn<uint16_t>("xModifiers");
        QTest::addColumn<bool>("heldElsewhere");
        QTest::addColumn<QByteArray>("waylandDisplay");
        QTest::addColumn<HotKeys::Registration>("registration");
        using enum HotKeys::Registration;
        QTest::newRow("taken") << Shortcut{0x11, 0x1900} << int(tKeycode) << controlAltSuper << true << QByteArray() << taken;
        QTest::newRow("bare D") << Shortcut{2, 0} << int(dKeycode) << uint16_t(0) << false << QByteArray() << taken;
        QTest::newRow("Shift+D") << Shortcut{2, 0x200} << int(dKeycode) << uint16_t(XCB_MOD_MASK_SHIFT) << false << QByteArray() << taken;
        QTest::newRow("Wayland session") << Shortcut::defaultShortcut() << int(dKeycode) << controlAltSuper << false << QByteArray("wayland-0") << unsupported;
    }

    void refusedCombinationIsNotGrabbedAndThePreviousOneWorksAgain()
    {
        QFETCH(Shortcut, refused);
        QFETCH(int, keycode);
        QFETCH(uint16_t, xModifiers);
        QFETCH(bool, heldElsewhere);
        QFETCH(QByteArray, waylandDisplay);
        QFETCH(HotKeys::Registration, registration);
        OtherClient other;
        QVERIFY(!heldElsewhere || other.grab(keycode, xModifiers | allLockVariants.back()));
        const Shortcut previous{96, 0x1200};
        QCOMPARE(hotKeys->registerDictationHotKey(previous), HotKeys::Registration::registered);

        qputenv("WAYLAND_DISPLAY", waylandDisplay); // the desktop has none
        QCOMPARE(hotKeys->registerDictationHotKey(refused), registration);
        qunsetenv("WAYLAND_DISPLAY");
        QCOMPARE(hotKeys->unsupportedExplanation().isEmpty(), registration != HotKeys::Registration::unsupported);
        for (const uint16_t variant : allLockVariants)
            QVERIFY(other.grab(keycode, xModifiers | variant));

        QCOMPARE(hotKeys->registerDictationHotKey(previous), HotKeys::Registration::registered);
        QVERIFY(xdotool({"key", "ctrl+shift+F5"}));
        QTRY_COMPARE_WITH_TIMEOUT(listener.events, (QStringList{"press", "release"}), deliveryTimeout);
    }

    // Escape typed into one of our windows aborts once (the global monitor leaves it to the local one)
    // and reaches neither the window nor its shortcut; other keys do, and Escape too once unregistered.
    void localMonitorTakesEscapeFromOurWindows()
    {
        QLineEdit window;
        int escapes = 0; // Escape reaching the window fires its shortcut
        QShortcut cancel(Qt::Key_Escape, &window, [&] { ++escapes; });
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        hotKeys->installAbortKeyMonitorFallback();

        QVERIFY(xdotool({"key", "Escape", "a"}));
        QTRY_COMPARE_WITH_TIMEOUT(window.text(), u"a"_s, deliveryTimeout);
        QCOMPARE(listener.events, QStringList{"abort"});
        QCOMPARE(escapes, 0);

        hotKeys->unregisterAbortHotKey();
        QVERIFY(xdotool({"key", "Escape", "b"}));
        QTRY_COMPARE_WITH_TIMEOUT(window.text(), u"ab"_s, deliveryTimeout);
        QCOMPARE(escapes, 1);
        QCOMPARE(listener.events, QStringList{"abort"});
    }

private:
    std::unique_ptr<X11HotKeys> hotKeys;
    RecordingListener listener;
};

QTEST_MAIN(HotKeysTest)
#include "HotKeysTest.moc"
