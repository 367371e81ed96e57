// The recording-volume panel: the value it shows and saves, rounded to a whole percent, and the
// ways it ends (Guardar, Return, Cancelar, Escape, closing, losing activation), once.

#include "volume/RecordingVolumeController.h"

#include <QApplication>
#include <QKeyEvent>
#include <QPushButton>
#include <QSlider>
#include <QTest>

#include <memory>
#include <optional>
#include <vector>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr int none = -1;

void press(QWidget *target, int key)
{
    QKeyEvent event(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

} // namespace

class RecordingVolumePanelTest : public QObject {
    Q_OBJECT

    std::vector<std::optional<int>> finishes;
    std::unique_ptr<RecordingVolumeController> panel;

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
        finishes.clear();
        panel = std::make_unique<RecordingVolumeController>(40, [this](std::optional<int> value) { finishes.push_back(value); });
        panel->present();
        QVERIFY(panel->isVisible());
        QCOMPARE(panel->percentageText(), u"40 %"_s);
    }

    void cleanup() { panel.reset(); }

    // The slider moves in tenths of a percent; -1 leaves it where it opened.
    void endsOnce_data()
    {
        QTest::addColumn<int>("tenths");
        QTest::addColumn<QString>("way");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<int>("result");
        QTest::newRow("Guardar, a half rounds up") << 375 << u"Guardar"_s << u"38 %"_s << 38;
        QTest::newRow("Guardar, below a half rounds down") << 374 << u"Guardar"_s << u"37 %"_s << 37;
        QTest::newRow("Guardar, untouched") << none << u"Guardar"_s << u"40 %"_s << 40;
        QTest::newRow("Return at 100 %") << 1000 << u"Return"_s << u"100 %"_s << 100;
        QTest::newRow("keypad Enter at 0 %") << 2 << u"Enter"_s << u"0 %"_s << 0;
        QTest::newRow("Cancelar") << 375 << u"Cancelar"_s << u"38 %"_s << none;
        QTest::newRow("Escape") << 375 << u"Escape"_s << u"38 %"_s << none;
        QTest::newRow("window closed") << 375 << u"closed"_s << u"38 %"_s << none;
        QTest::newRow("another window activated") << 375 << u"deactivated"_s << u"38 %"_s << none;
    }

    void endsOnce()
    {
        QFETCH(int, tenths);
        QFETCH(QString, way);
        QFETCH(QString, shown);
        QFETCH(int, result);
        if (tenths != none)
            panel->slider()->setValue(tenths);
        QCOMPARE(panel->percentageText(), shown);
        QVERIFY(finishes.empty());

        QWidget other;
        if (way == u"Guardar" || way == u"Cancelar") {
            QTest::mouseClick(button(way), Qt::LeftButton);
        } else if (way == u"Return" || way == u"Enter" || way == u"Escape") {
            // Pressed where the keyboard is: on the slider, which leaves these keys to the panel.
            press(panel->slider(), way == u"Return" ? Qt::Key_Return : way == u"Enter" ? Qt::Key_Enter : Qt::Key_Escape);
        } else if (way == u"closed") {
            panel->close();
        } else {
            panel->activateWindow();
            QTRY_VERIFY(panel->isActiveWindow());
            other.show();
            other.activateWindow();
            QTRY_VERIFY(other.isActiveWindow());
        }
        const std::vector<std::optional<int>> expected{result == none ? std::nullopt : std::optional(result)};
        QCOMPARE(finishes, expected);
        QVERIFY(!panel->isVisible());

        // Nothing ends it a second time, and it does not come back.
        QTest::mouseClick(button(u"Guardar"_s), Qt::LeftButton);
        panel->cancel();
        panel->close();
        press(panel.get(), Qt::Key_Return);
        panel->present();
        QVERIFY(!panel->isVisible());
        QCOMPARE(finishes, expected);
    }
};

QTEST_MAIN(RecordingVolumePanelTest)
#include "RecordingVolumePanelTest.moc"
