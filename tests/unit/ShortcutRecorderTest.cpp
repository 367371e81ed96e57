// The shortcut recorder panel: what a key press captures or refuses, the names the keys are shown
// with, and the ways the panel ends (Guardar, Escape, Cancelar, closing, losing activation), each exactly once.

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

const Shortcut current = Shortcut::defaultShortcut();
const QString initialHint = u"Pulsa la combinación que quieras usar"_s;
const QString refusedHint = u"Incluye Ctrl, Alt o Super"_s;
constexpr auto allModifiers = Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier | Qt::MetaModifier;

// A key press as the panel gets it; a scan code is an X key code (evdev + 8), 0 for none.
void press(QWidget *target, int key, Qt::KeyboardModifiers modifiers, quint32 scanCode = 0)
{
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
        QCOMPARE(panel->shortcutText(), u"Ctrl+Alt+Super+D"_s);
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
        QTest::addColumn<QString>("hint"); // the refusal's hint comes with a beep
        const auto row = [&](const char *label, int key, Qt::KeyboardModifiers modifiers, quint32 scanCode,
                             const QString &display, quint32 keyCode, quint32 mask, const QString &hint = {}) {
            const QString shown = !hint.isEmpty() ? hint : display.isEmpty() ? initialHint : u"Pulsa Guardar para confirmar"_s;
            QTest::newRow(label) << key << modifiers << scanCode << display << keyCode << mask << shown;
        };

        row("shift+A is refused", Qt::Key_A, Qt::ShiftModifier, 0, {}, 0, 0, refusedHint);
        row("A alone is refused", Qt::Key_A, {}, 0, {}, 0, 0, refusedHint);
        row("control+shift+F5", Qt::Key_F5, Qt::ControlModifier | Qt::ShiftModifier, 0, u"Ctrl+Shift+F5"_s, 96, 0x1200);
        row("modifiers in fixed order", Qt::Key_K, allModifiers, 0, u"Ctrl+Alt+Shift+Super+K"_s, 40, 0x1B00);
        row("alt alone is enough", Qt::Key_Space, Qt::AltModifier, 0, u"Alt+Espacio"_s, 49, 0x800);
        // Named by the key's position, not by the character the layout gives it.
        row("shifted character", Qt::Key_Exclam, Qt::ControlModifier | Qt::ShiftModifier, 0, u"Ctrl+Shift+1"_s, 18, 0x1200);
        // A Spanish layout: Ñ sits where a US keyboard has ";" (X key code 47).
        row("Ñ by its position", Qt::Key_Ntilde, Qt::AltModifier | Qt::MetaModifier, 47, u"Alt+Super+;"_s, 41, 0x900);
        row("keypad by its position", Qt::Key_5, Qt::ControlModifier | Qt::KeypadModifier, 84, u"Ctrl+Num+5"_s, 87, 0x1000);
        row("lone shift does not beep", Qt::Key_Shift, Qt::ShiftModifier, 0, QString(), 0, 0);
        row("key without a position", Qt::Key_Print, Qt::ControlModifier, 0, QString(), 0, 0);

        // A few of the named keys.
        row("Return", Qt::Key_Return, Qt::ControlModifier, 0, u"Ctrl+Intro"_s, 36, 0x1000);
        row("F13", Qt::Key_F13, Qt::ControlModifier, 0, u"Ctrl+F13"_s, 105, 0x1000);
        row("Left", Qt::Key_Left, Qt::ControlModifier, 0, u"Ctrl+Izquierda"_s, 123, 0x1000);
        row("keypad Enter", Qt::Key_Enter, Qt::ControlModifier, 0, u"Ctrl+Num+Intro"_s, 76, 0x1000);
        row("punctuation", Qt::Key_Comma, Qt::ControlModifier, 0, u"Ctrl+,"_s, 43, 0x1000);
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

        press(panel.get(), key, modifiers, scanCode);

        QCOMPARE(panel->hintText(), hint);
        QCOMPARE(shell.beeps, hint == refusedHint ? 1 : 0);
        QVERIFY(finishes.empty());
        if (display.isEmpty()) {
            QCOMPARE(panel->capturedShortcut(), std::nullopt);
            QCOMPARE(panel->shortcutText(), current.display);
            return;
        }
        const Shortcut expected{keyCode, mask};
        QCOMPARE(panel->capturedShortcut(), expected);
        QCOMPARE(panel->shortcutText(), display);

        QTest::mouseClick(button(u"Guardar"_s), Qt::LeftButton);
        QCOMPARE(finishes.size(), 1u);
        QCOMPARE(finishes.front(), expected);
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
        QTest::newRow("Escape") << u"Escape"_s;
        QTest::newRow("Escape with every modifier") << u"Escape+all"_s;
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

        if (way.startsWith(u"Escape")) {
            press(panel.get(), Qt::Key_Escape, way == u"Escape" ? Qt::NoModifier : allModifiers);
        } else if (way == u"Cancelar") {
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
        QCOMPARE(shell.beeps, 0);
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
        QCOMPARE(finishes.front()->display, u"Ctrl+K"_s);

        QTest::keyClicks(&field, u"ab"_s);
        QCOMPARE(field.text(), u"ab"_s);
    }
};

QTEST_MAIN(ShortcutRecorderTest)
#include "ShortcutRecorderTest.moc"
