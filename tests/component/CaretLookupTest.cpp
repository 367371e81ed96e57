// The caret of a real program's text field, found through the accessibility bus of the headless
// desktop: the same lookup the reveal passes make after a paste.

#include "insertion/CaretLocator.h"
#include "platform/linux/AtspiAccessibilityTree.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

class CaretLookupTest : public QObject {
    Q_OBJECT

private slots:
    void caretOfTheFocusedFieldIsFound()
    {
        QTemporaryDir scratch;
        const QString textFile = scratch.filePath(QStringLiteral("target.txt"));
        QProcess target;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_LINUX_ACCESSIBILITY_ALWAYS_ON"), QStringLiteral("1")); // expose its tree from the start
        target.setProcessEnvironment(environment);
        target.start(QStringLiteral(MURMEX_TARGET_PROGRAM), {textFile});
        QVERIFY(target.waitForStarted());
        QVERIFY(QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--sync"), QStringLiteral("--name"),
                                                              QStringLiteral("^Murmex target$"), QStringLiteral("windowactivate"), QStringLiteral("--sync")}) == 0);
        QVERIFY(QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("type"), QStringLiteral("hola")}) == 0);
        QTRY_COMPARE_WITH_TIMEOUT(QFile(textFile).exists(), true, 10000);

        AtspiAccessibilityTree tree;
        CaretLocator locator(tree);
        std::optional<QRectF> caret;
        // The target registers on the bus a moment after it shows its window.
        QTRY_VERIFY_WITH_TIMEOUT((caret = locator.focusedCaretBounds(target.processId())).has_value(), 10000);
        qInfo("caret at %.0f,%.0f %.0fx%.0f", caret->x(), caret->y(), caret->width(), caret->height());
        QVERIFY(caret->height() > 0);
        QVERIFY(caret->x() > 0 && caret->y() > 0 && caret->x() < 1440 && caret->y() < 900);

        target.terminate();
        target.waitForFinished(3000);
    }
};

QTEST_MAIN(CaretLookupTest)
#include "CaretLookupTest.moc"
