// The shortcut recorder panel: what a key press captures or refuses, the names the keys are shown
// with, and the ways the panel ends (Guardar, Escape, Cancelar, closing, losing activation), once.

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

    // Ended once: no other way of ending it, nor showing it again, does anything; the keyboard is released.
    void verifyFinishedOnce(const std::optional<Shortcut> &result)
    {
        QTest::mouseClick(button(u"Guardar"_s), Qt::LeftButton);
        panel->cancel();
        panel->close();
        press(panel.get(), Qt::Key_Escape, Qt::NoModifier);
        panel->showWindow();
        QVERIFY(!panel->isVisible());
        QCOMPARE(finishes, std::vector{result});
        QLineEdit field;
        field.show();
        QTest::keyClicks(&field, u"ab"_s);
        QCOMPARE(field.text(), u"ab"_s);
    }

private slots:
    void init()
    {
        finishes.clear();
        panel = std::make_unique<ShortcutRecorderController>(
            current, shell, [this](std::optional<Shortcut> shortcut) { finishes.push_back(shortcut); });
        panel->showWindow();
        QVERIFY(panel->isVisible());
        QCOMPARE(panel->shortcutText(), u"Ctrl+Alt+Super+D"_s);
        QCOMPARE(panel->hintText(), initialHint);
        shell.beeps = 0;
    }

    void cleanup() { panel.reset(); }

    void capture_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
        QTest::addColumn<quint32>("scanCode");
        QTest::addColumn<QString>("captured"); // "refused" (with a beep), "ignored", or the text shown, X key code and hex mask
        const auto row = [](const char *label, int key, Qt::KeyboardModifiers modifiers, const char *captured, quint32 scanCode = 0) {
            QTest::newRow(label) << key << modifiers << scanCode << QString::fromUtf8(captured);
        };
        row("shift+A is refused", Qt::Key_A, Qt::ShiftModifier, "refused");
        row("A alone is refused", Qt::Key_A, {}, "refused");
        row("Return alone is refused, not taken for Guardar", Qt::Key_Return, {}, "refused");
        row("lone shift", Qt::Key_Shift, Qt::ShiftModifier, "ignored");
        row("key without a position", Qt::Key_Print, Qt::ControlModifier, "ignored");
        row("control+shift+F5", Qt::Key_F5, Qt::ControlModifier | Qt::ShiftModifier, "Ctrl+Shift+F5 96 1200");
        row("modifiers in fixed order", Qt::Key_K, allModifiers, "Ctrl+Alt+Shift+Super+K 40 1b00");
        row("alt alone is enough", Qt::Key_Space, Qt::AltModifier, "Alt+Espacio 49 800");
        row("punctuation", Qt::Key_Comma, Qt::ControlModifier, "Ctrl+, 43 1000");
        // Named by the key's position, not its character: on a Spanish layout Ñ is where US ";" is (key code 47).
        row("shifted character", Qt::Key_Exclam, Qt::ControlModifier | Qt::ShiftModifier, "Ctrl+Shift+1 18 1200");
        row("Ñ by its position", Qt::Key_Ntilde, Qt::AltModifier | Qt::MetaModifier, "Alt+Super+; 41 900", 47);
        row("keypad by its position", Qt::Key_5, Qt::ControlModifier | Qt::KeypadModifier, "Ctrl+Num+5 87 1000", 84);
    }

    void capture()
    {
        QFETCH(int, key);
        QFETCH(Qt::KeyboardModifiers, modifiers);
        QFETCH(quint32, scanCode);
        QFETCH(QString, captured);
        press(panel.get(), key, modifiers, scanCode);

        const bool refused = captured == u"refused";
        QCOMPARE(shell.beeps, refused ? 1 : 0);
        QVERIFY(finishes.empty());
        const std::optional<Shortcut> shortcut = panel->capturedShortcut();
        if (!shortcut) {
            QVERIFY(refused || captured == u"ignored");
            QCOMPARE(panel->hintText(), refused ? refusedHint : initialHint);
            QCOMPARE(panel->shortcutText(), current.display);
            return;
        }
        QCOMPARE(u"%1 %2 %3"_s.arg(panel->shortcutText()).arg(shortcut->keyCode).arg(shortcut->modifiers, 0, 16), captured);
        QCOMPARE(panel->hintText(), u"Pulsa Guardar para confirmar"_s);
        QTest::mouseClick(button(u"Guardar"_s), Qt::LeftButton);
        verifyFinishedOnce(shortcut);
    }

    void saveNeedsACombinationFirst()
    {
        QTest::mouseClick(button(u"Guardar"_s), Qt::LeftButton);
        QCOMPARE(panel->hintText(), u"Pulsa primero un atajo nuevo"_s);
        QCOMPARE(shell.beeps, 1);
        QVERIFY(finishes.empty());
        QVERIFY(panel->isVisible());
        QLineEdit field; // every key press is the panel's while it is open
        field.show();
        QTest::keyClicks(&field, u"ab"_s);
        QCOMPARE(field.text(), QString());
    }

    void cancelsWithoutChange_data()
    {
        QTest::addColumn<QString>("way");
        for (const char *way : {"Escape", "Escape with every modifier", "Cancelar", "window closed", "another window activated"})
            QTest::newRow(way) << QString::fromLatin1(way);
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
            QTest::mouseClick(button(way), Qt::LeftButton);
        } else if (way == u"window closed") {
            panel->close();
        } else {
            panel->activateWindow();
            QTRY_VERIFY(panel->isActiveWindow());
            other.show();
            other.activateWindow();
            QTRY_VERIFY(other.isActiveWindow());
        }
        QCOMPARE(shell.beeps, 0);
        verifyFinishedOnce(std::nullopt);
    }
};

QTEST_MAIN(ShortcutRecorderTest)
#include "ShortcutRecorderTest.moc"
