// The shortcut recorder panel: what a key press captures or refuses, the names of the keys, and the
// ways the panel ends (Guardar, Escape, Cancelar, closing, losing activation), each exactly once.

#include "FakePlatform.h"
#include "hotkeys/ShortcutRecorderController.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <memory>
#include <optional>
#include <vector>

using namespace Qt::Literals::StringLiterals;

Q_DECLARE_METATYPE(Qt::KeyboardModifiers)

namespace {

const Shortcut current{2, 0x1900, u"⌃⌥⌘D"_s};
const QString initialHint = u"Pulsa la combinación que quieras usar"_s;
constexpr auto allModifiers = Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier | Qt::MetaModifier;

// A key press as the panel gets it; a scan code is an X key code (evdev + 8), 0 for none.
void press(QWidget *target, int key, Qt::KeyboardModifiers modifiers, quint32 scanCode = 0)
{
    if (scanCode == 0) {
        QTest::keyPress(target, Qt::Key(key), modifiers);
        return;
    }
    QKeyEvent event(QEvent::KeyPress, key, modifiers, scanCode, 0, 0);
    QApplication::sendEvent(target, &event);
}

} // namespace

class ShortcutRecorderTest : public QObject {
    Q_OBJECT

    FakeShell shell;
    std::vector<std::optional<Shortcut>> finishes;
    std::unique_ptr<ShortcutRecorderController> panel;

    QPushButton *button(const QString &text) const
    {
        for (QPushButton *candidate : panel->findChildren<QPushButton *>())
            if (candidate->text() == text)
                return candidate;
        return nullptr;
    }

private slots:
    void init()
    {
        shell.beeps = 0;
        finishes.clear();
        panel = std::make_unique<ShortcutRecorderController>(
            current, shell, [this](std::optional<Shortcut> shortcut) { finishes.push_back(shortcut); });
        panel->showWindow();
        QVERIFY(panel->isVisible());
        QCOMPARE(panel->shortcutText(), current.display);
        QCOMPARE(panel->hintText(), initialHint);
    }

    void cleanup() { panel.reset(); }

    void capture_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
        QTest::addColumn<quint32>("scanCode");
        QTest::addColumn<QString>("display"); // empty: nothing captured
        QTest::addColumn<quint32>("keyCode");
        QTest::addColumn<quint32>("mask");
        QTest::addColumn<QString>("hint");
        QTest::addColumn<int>("beeps");
        using M = Qt::KeyboardModifiers;
        const QString confirm = u"Pulsa Guardar para confirmar"_s;
        const QString refused = u"Incluye Comando, Opción o Control"_s;

        QTest::newRow("shift+A is refused") << int(Qt::Key_A) << M(Qt::ShiftModifier) << 0u << QString() << 0u << 0u << refused << 1;
        QTest::newRow("control+shift+F5") << int(Qt::Key_F5) << (Qt::ControlModifier | Qt::ShiftModifier) << 0u << u"⌃⇧F5"_s
                                          << 96u << 0x1200u << confirm << 0;
        QTest::newRow("modifiers in fixed order") << int(Qt::Key_K) << M(allModifiers) << 0u << u"⌃⌥⇧⌘K"_s << 40u << 0x1B00u
                                                  << confirm << 0;
        QTest::newRow("shifted character") << int(Qt::Key_Exclam) << (Qt::ControlModifier | Qt::ShiftModifier) << 0u
                                           << u"⌃⇧!"_s << 18u << 0x1200u << confirm << 0;
        // A German layout: Z sits where a US keyboard has Y (X key code 29).
        QTest::newRow("scan code gives the position") << int(Qt::Key_Z) << M(Qt::ControlModifier) << 29u << u"⌃Z"_s << 16u
                                                      << 0x1000u << confirm << 0;
        // A Spanish layout: Ñ sits where a US keyboard has ";" (X key code 47).
        QTest::newRow("Ñ by its position") << int(Qt::Key_Ntilde) << M(Qt::AltModifier | Qt::MetaModifier) << 47u << u"⌥⌘Ñ"_s
                                           << 41u << 0x900u << confirm << 0;
        QTest::newRow("lone shift does not beep") << int(Qt::Key_Shift) << M(Qt::ShiftModifier) << 0u << QString() << 0u << 0u
                                                  << initialHint << 0;
        QTest::newRow("key without a position") << int(Qt::Key_Print) << M(Qt::ControlModifier) << 0u << QString() << 0u << 0u
                                                << initialHint << 0;
    }

    void capture()
    {
        QFETCH(int, key);
        QFETCH(Qt::KeyboardModifiers, modifiers);
        QFETCH(quint32, scanCode);
        QFETCH(QString, display);
        QFETCH(quint32, keyCode);
        QFETCH(quint32, mask);
        QFETCH(QString, hint);
        QFETCH(int, beeps);

        press(panel.get(), key, modifiers, scanCode);

        QCOMPARE(panel->hintText(), hint);
        QCOMPARE(shell.beeps, beeps);
        QVERIFY(finishes.empty());
        if (display.isEmpty()) {
            QCOMPARE(panel->capturedShortcut(), std::nullopt);
            QCOMPARE(panel->shortcutText(), current.display);
            return;
        }
        const Shortcut expected{keyCode, mask, display};
        QCOMPARE(panel->capturedShortcut(), expected);
        QCOMPARE(panel->shortcutText(), display);

        QTest::mouseClick(button(u"Guardar"_s), Qt::LeftButton);
        QCOMPARE(finishes.size(), 1u);
        QCOMPARE(finishes.front(), expected);
        QVERIFY(!panel->isVisible());
    }

    void keyNames_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<quint32>("keyCode");
        QTest::addColumn<QString>("name");
        const auto row = [](const char *label, int key, quint32 keyCode, const QString &name) {
            QTest::newRow(label) << key << keyCode << name;
        };
        row("Return", Qt::Key_Return, 36, u"↩"_s);
        row("Tab", Qt::Key_Tab, 48, u"⇥"_s);
        row("Space", Qt::Key_Space, 49, u"Espacio"_s);
        row("Backspace", Qt::Key_Backspace, 51, u"⌫"_s);
        const quint32 functionKeyCodes[] = {122, 120, 99, 118, 96, 97, 98, 100, 101, 109, 103, 111};
        for (int index = 0; index < 12; ++index) {
            const QString name = u"F%1"_s.arg(index + 1);
            row(qPrintable(name), Qt::Key_F1 + index, functionKeyCodes[index], name);
        }
        row("Home", Qt::Key_Home, 115, u"↖"_s);
        row("Page Up", Qt::Key_PageUp, 116, u"⇞"_s);
        row("Delete", Qt::Key_Delete, 117, u"⌦"_s);
        row("End", Qt::Key_End, 119, u"↘"_s);
        row("Page Down", Qt::Key_PageDown, 121, u"⇟"_s);
        row("Left", Qt::Key_Left, 123, u"←"_s);
        row("Right", Qt::Key_Right, 124, u"→"_s);
        row("Down", Qt::Key_Down, 125, u"↓"_s);
        row("Up", Qt::Key_Up, 126, u"↑"_s);
        row("F13 has no glyph", Qt::Key_F13, 105, QString());
        row("a letter", Qt::Key_Q, 12, u"Q"_s);
        row("punctuation", Qt::Key_Comma, 43, u","_s);
    }

    void keyNames()
    {
        QFETCH(int, key);
        QFETCH(quint32, keyCode);
        QFETCH(QString, name);

        press(panel.get(), key, Qt::ControlModifier);

        if (name.isEmpty()) {
            QCOMPARE(panel->capturedShortcut(), std::nullopt);
            return;
        }
        QCOMPARE(panel->capturedShortcut(), (Shortcut{keyCode, 0x1000, u"⌃"_s + name}));
    }

    void escapeCancels_data()
    {
        QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
        QTest::addColumn<bool>("capturedBefore");
        QTest::newRow("alone") << Qt::KeyboardModifiers() << false;
        QTest::newRow("with shift") << Qt::KeyboardModifiers(Qt::ShiftModifier) << false;
        QTest::newRow("with every modifier") << Qt::KeyboardModifiers(allModifiers) << false;
        QTest::newRow("after a capture") << Qt::KeyboardModifiers(Qt::ControlModifier) << true;
    }

    void escapeCancels()
    {
        QFETCH(Qt::KeyboardModifiers, modifiers);
        QFETCH(bool, capturedBefore);
        if (capturedBefore)
            press(panel.get(), Qt::Key_K, Qt::ControlModifier);

        press(panel.get(), Qt::Key_Escape, modifiers);

        QCOMPARE(finishes.size(), 1u);
        QCOMPARE(finishes.front(), std::nullopt);
        QCOMPARE(shell.beeps, 0);
        QVERIFY(!panel->isVisible());
    }

    void saveNeedsACombinationFirst()
    {
        QTest::mouseClick(button(u"Guardar"_s), Qt::LeftButton);
        QCOMPARE(panel->hintText(), u"Pulsa primero un atajo nuevo"_s);
        QCOMPARE(shell.beeps, 1);
        QVERIFY(finishes.empty());
        QVERIFY(panel->isVisible());

        // Return is the key of a new combination here, never the Guardar button.
        press(panel.get(), Qt::Key_Return, Qt::NoModifier);
        QVERIFY(finishes.empty());
        QCOMPARE(shell.beeps, 2);
    }

    void cancelsWithoutChange_data()
    {
        QTest::addColumn<QString>("way");
        QTest::newRow("Cancelar") << u"Cancelar"_s;
        QTest::newRow("window closed") << u"close"_s;
        QTest::newRow("another window activated") << u"deactivate"_s;
    }

    void cancelsWithoutChange()
    {
        QFETCH(QString, way);
        press(panel.get(), Qt::Key_K, Qt::ControlModifier);
        QVERIFY(panel->capturedShortcut());
        QWidget other;

        if (way == u"Cancelar") {
            QTest::mouseClick(button(u"Cancelar"_s), Qt::LeftButton);
        } else if (way == u"close") {
            panel->close();
        } else {
            panel->activateWindow();
            QTRY_VERIFY(panel->isActiveWindow());
            other.show();
            other.activateWindow();
            QTRY_VERIFY(other.isActiveWindow());
        }

        QCOMPARE(finishes.size(), 1u);
        QCOMPARE(finishes.front(), std::nullopt);
        QVERIFY(!panel->isVisible());
    }

    void finishesOnceAndReleasesTheKeyboard()
    {
        QLineEdit field;
        field.show();
        QTest::keyClicks(&field, u"ab"_s);
        QCOMPARE(field.text(), QString()); // swallowed while the panel is open

        press(panel.get(), Qt::Key_K, Qt::ControlModifier);
        QTest::mouseClick(button(u"Guardar"_s), Qt::LeftButton);
        panel->cancel();
        panel->close();
        press(panel.get(), Qt::Key_Escape, Qt::NoModifier);
        panel->showWindow();
        QVERIFY(!panel->isVisible());
        QCOMPARE(finishes.size(), 1u);
        QCOMPARE(finishes.front()->display, u"⌃K"_s);

        QTest::keyClicks(&field, u"ab"_s);
        QCOMPARE(field.text(), u"ab"_s);
    }
};

QTEST_MAIN(ShortcutRecorderTest)
#include "ShortcutRecorderTest.moc"
