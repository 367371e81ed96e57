// The recording indicator beside the caret of real programs on the headless desktop: a Qt line
// edit, a GTK 3 entry and a GTK 3 text view. The controller is driven as the dictation controller
// drives it (prepare, then show for the frontmost program, hide at the stop); the panel's window is
// read from the X server with xdotool and xwininfo, never from the controller.
//
// Where the caret really is: the GTK targets report it themselves (--caret-file: where GTK draws
// it); for the Qt target it is what Qt's accessibility reports, read by a fresh locator of the
// test's own, so the comparison there checks the placement and the following, not Qt's report.
//
// With MURMEX_ARTIFACTS_DIR set, screenshots of each placement are saved there.

#include "brand/BrandAssets.h"
#include "insertion/CaretLocator.h"
#include "insertion/CaretReveal.h"
#include "insertion/RecordingIndicatorController.h"
#include "platform/linux/AccessibilityStatus.h"
#include "platform/linux/AtspiAccessibilityTree.h"
#include "platform/linux/X11FrontmostApplication.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDebug>
#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <future>
#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr int timeout = 10000;
constexpr int tolerance = 4;

QString run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    process.waitForFinished(5000);
    return QString::fromUtf8(process.readAllStandardOutput());
}

// The indicator's window as the X server has it: its rectangle while it is mapped, none otherwise.
std::optional<QRect> panelOnScreen()
{
    const QString id = run(u"xdotool"_s, {u"search"_s, u"--name"_s, u"^Murmex: indicador"_s}).section(u'\n', 0, 0).trimmed();
    if (id.isEmpty())
        return std::nullopt;
    const QString info = run(u"xwininfo"_s, {u"-id"_s, id});
    if (!info.contains(u"Map State: IsViewable"_s))
        return std::nullopt;
    const auto number = [&](const QString &label) {
        return QRegularExpression(QRegularExpression::escape(label) + u":\\s*(-?\\d+)"_s).match(info).captured(1).toInt();
    };
    return QRect(number(u"Absolute upper-left X"_s), number(u"Absolute upper-left Y"_s), number(u"Width"_s), number(u"Height"_s));
}

// Whether the panel sits beside `caret`: centred on it vertically, and the gap away from its
// right edge (or from its left edge, where `leftOfCaret`).
bool besideCaret(const std::optional<QRect> &panel, const QRectF &caret, bool leftOfCaret = false)
{
    if (!panel || caret.isNull())
        return false;
    const qreal gap = RecordingIndicatorController::caretGap;
    const qreal horizontal = leftOfCaret ? (panel->x() + panel->width()) - (caret.left() - gap) : panel->x() - (caret.right() + gap);
    return std::abs(horizontal) <= tolerance && std::abs(QRectF(*panel).center().y() - caret.center().y()) <= tolerance;
}

// The whole screen, and the surroundings of the panel enlarged four times.
void screenshot(const QString &name)
{
    const QString folder = qEnvironmentVariable("MURMEX_ARTIFACTS_DIR");
    const QString tool = qEnvironmentVariable("MURMEX_SCREENSHOT_TOOL");
    if (folder.isEmpty() || tool.isEmpty())
        return;
    QDir().mkpath(folder);
    QList<QStringList> shots{{folder + u'/' + name + u".png"_s}};
    if (const std::optional<QRect> panel = panelOnScreen()) {
        const QRect around = panel->adjusted(-100, -30, 100, 30).intersected(QRect(0, 0, 1440, 900));
        shots.append({folder + u'/' + name + u"-zoom.png"_s, QString::number(around.x()), QString::number(around.y()),
                      QString::number(around.width()), QString::number(around.height()), u"4"_s});
    }
    for (const QStringList &arguments : shots)
        if (QProcess::execute(tool, arguments) == 0)
            qInfo("screenshot: %s", qPrintable(arguments.first()));
}

bool desktopAccessibilityIsOn()
{
    QDBusMessage get = QDBusMessage::createMethodCall(u"org.a11y.Bus"_s, u"/org/a11y/bus"_s, u"org.freedesktop.DBus.Properties"_s, u"Get"_s);
    get << u"org.a11y.Status"_s << u"IsEnabled"_s;
    const QDBusMessage reply = QDBusConnection::sessionBus().call(get, QDBus::Block, 5000);
    return reply.type() == QDBusMessage::ReplyMessage && reply.arguments().value(0).value<QDBusVariant>().variant().toBool();
}

// A program with one focused text field, its text in `textFile`.
struct Target {
    explicit Target(QString kind)
        : kind(std::move(kind))
    {
    }
    ~Target()
    {
        process->terminate();
        process->waitForFinished(3000);
    }
    qint64 pid() const { return process->processId(); }
    bool isGtk() const { return kind.startsWith(u"gtk"_s); }

    QString kind; // "qt", "gtk-entry", "gtk-text-view"
    QString title;
    QString textFile, caretFile;
    std::unique_ptr<QProcess> process = std::make_unique<QProcess>();
};

} // namespace

class IndicatorTest : public QObject {
    Q_OBJECT

    QTemporaryDir scratch;
    AtspiAccessibilityTree tree;
    RevealState revealState;
    AccessibilityCaretRevealer revealer{tree, revealState};
    X11FrontmostApplication frontmost;
    std::unique_ptr<RecordingIndicatorController> indicator;

    bool start(Target &target)
    {
        target.textFile = scratch.filePath(target.kind + u".txt"_s);
        target.caretFile = scratch.filePath(target.kind + u".caret"_s);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"QT_LINUX_ACCESSIBILITY_ALWAYS_ON"_s, u"1"_s);
        environment.remove(u"QT_NO_GLIB"_s); // the targets run Qt as any other program does
        target.process->setProcessEnvironment(environment);
        if (target.isGtk()) {
            target.title = u"Murmex GTK target"_s;
            QStringList arguments{u"--caret-file"_s, target.caretFile, target.textFile};
            if (target.kind == u"gtk-text-view"_s)
                arguments.prepend(u"--text-view"_s);
            target.process->start(QStringLiteral(MURMEX_SOURCE_DIR "/tests/harness/gtk-target"), arguments);
        } else {
            target.title = u"Murmex target"_s;
            target.process->start(QStringLiteral(MURMEX_TARGET_PROGRAM), {target.textFile});
        }
        if (!target.process->waitForStarted())
            return false;
        // The field writes its file once it has the keyboard focus. The window manager may still be
        // busy with the window of the program before (closing it moves the focus): ask again then.
        for (int attempt = 0; attempt < 3; ++attempt) {
            if (activate(target) && QTest::qWaitFor([&] { return QFile::exists(target.textFile); }, timeout / 2))
                return true;
        }
        qWarning() << target.kind << "never had the keyboard focus:" << target.process->readAllStandardError();
        return false;
    }

    static bool activate(const Target &target)
    {
        const QString title = u'^' + target.title + u'$';
        return QProcess::execute(u"xdotool"_s, {u"search"_s, u"--sync"_s, u"--onlyvisible"_s, u"--pid"_s, QString::number(target.pid()), u"--name"_s, title,
                                                 u"windowactivate"_s, u"--sync"_s})
            == 0;
    }

    // Where the target's caret is now: its own report for GTK; for Qt, its accessibility's report
    // read by a locator without a cache.
    QRectF caretOf(const Target &target)
    {
        if (target.isGtk()) {
            QFile file(target.caretFile);
            const QStringList numbers = file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).trimmed().split(u' ') : QStringList();
            return numbers.size() == 4 ? QRectF(numbers[0].toInt(), numbers[1].toInt(), numbers[2].toInt(), numbers[3].toInt()) : QRectF();
        }
        auto answer = std::make_shared<std::promise<std::optional<QRectF>>>();
        std::future<std::optional<QRectF>> caret = answer->get_future();
        tree.perform([this, answer, pid = target.pid()] { answer->set_value(CaretLocator(tree).focusedCaretBounds(pid)); });
        if (!QTest::qWaitFor([&] { return caret.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, timeout))
            return QRectF();
        return caret.get().value_or(QRectF());
    }

    // Waits for the panel to be beside the target's caret; says where both were when it is not.
    bool panelBesideCaretOf(const Target &target, bool leftOfCaret = false)
    {
        std::optional<QRect> panel;
        QRectF caret;
        if (QTest::qWaitFor([&] { return besideCaret(panel = panelOnScreen(), caret = caretOf(target), leftOfCaret); }, timeout))
            return true;
        qWarning() << target.kind << "panel" << panel.value_or(QRect()) << "caret" << caret;
        return false;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(scratch.isValid());
        BrandAssets::setLogoPath(QStringLiteral(MURMEX_SOURCE_DIR "/share/murmex/Murmex.svg"));
        AccessibilityStatus::enableOnce(); // as Murmex does at launch; the targets start after it
        QTRY_VERIFY_WITH_TIMEOUT(desktopAccessibilityIsOn(), timeout);
        indicator = std::make_unique<RecordingIndicatorController>(revealer, revealState, frontmost);
    }

    void cleanup() { indicator->hide(); }

    void followsTheCaret_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("Qt line edit") << u"qt"_s;
        QTest::newRow("GTK 3 entry") << u"gtk-entry"_s;
        QTest::newRow("GTK 3 text view") << u"gtk-text-view"_s;
    }

    // Shown for the program being dictated into, the panel sits beside its caret and moves along
    // as the user types; hidden, its window is unmapped.
    void followsTheCaret()
    {
        QFETCH(QString, kind);
        Target target(kind);
        QVERIFY(start(target));
        QCOMPARE(frontmost.frontmostProcessId(), std::optional(target.pid()));

        indicator->prepare(target.pid());
        indicator->show(target.pid());
        QVERIFY(panelBesideCaretOf(target));
        const qreal before = caretOf(target).x();
        QCOMPARE(QProcess::execute(u"xdotool"_s, {u"type"_s, u"--delay"_s, u"20"_s, u"dictado"_s}), 0);
        QTRY_COMPARE_WITH_TIMEOUT(QFile(target.textFile).size(), qint64(7), timeout);
        QVERIFY(panelBesideCaretOf(target));
        QVERIFY(caretOf(target).x() > before + 20); // it moved along with the text
        screenshot(u"indicator-"_s + kind);

        indicator->hide();
        QTRY_VERIFY_WITH_TIMEOUT(!panelOnScreen(), timeout);
    }

    // Switching to another program during the recording takes the panel to that program's caret;
    // near the screen's right edge it goes to the left of the caret.
    void followsTheUserIntoAnotherProgram()
    {
        Target qt(u"qt"_s);
        Target gtk(u"gtk-entry"_s);
        QVERIFY(start(gtk));
        QVERIFY(start(qt));
        indicator->prepare(qt.pid());
        indicator->show(qt.pid());
        QVERIFY(panelBesideCaretOf(qt));

        QVERIFY(activate(gtk));
        QVERIFY(panelBesideCaretOf(gtk));

        // The entry's window with its right edge on the screen's: the caret at the end of a long text.
        QCOMPARE(QProcess::execute(u"xdotool"_s, {u"search"_s, u"--onlyvisible"_s, u"--pid"_s, QString::number(gtk.pid()), u"--name"_s, u"^Murmex GTK target$"_s,
                                                  u"windowmove"_s, u"--sync"_s, u"960"_s, u"300"_s}),
                 0);
        QCOMPARE(QProcess::execute(u"xdotool"_s, {u"type"_s, u"--delay"_s, u"10"_s, u"una frase bastante larga que sigue y sigue hasta llegar al borde derecho de la pantalla"_s}), 0);
        QTRY_VERIFY_WITH_TIMEOUT(caretOf(gtk).right() > 1440 - 24 - RecordingIndicatorController::caretGap, timeout);
        QVERIFY(panelBesideCaretOf(gtk, true));
        screenshot(u"indicator-right-edge"_s);

        indicator->hide();
        QTRY_VERIFY_WITH_TIMEOUT(!panelOnScreen(), timeout);
    }

    // xterm has no accessibility at all: the panel sits at the top centre of its window's frame.
    void sitsAtTheWindowTopWithoutACaret()
    {
        QProcess terminal;
        terminal.start(u"xterm"_s, {u"-T"_s, u"Murmex terminal"_s});
        QVERIFY(terminal.waitForStarted());
        const auto finish = qScopeGuard([&] {
            terminal.terminate();
            terminal.waitForFinished(3000);
        });
        const QString window = run(u"xdotool"_s, {u"search"_s, u"--sync"_s, u"--onlyvisible"_s, u"--name"_s, u"^Murmex terminal$"_s}).section(u'\n', 0, 0).trimmed();
        QVERIFY(!window.isEmpty());
        QCOMPARE(QProcess::execute(u"xdotool"_s, {u"windowactivate"_s, u"--sync"_s, window}), 0);
        const std::optional<qint64> pid = frontmost.frontmostProcessId();
        indicator->prepare(pid);
        indicator->show(pid);
        std::optional<QRect> panel;
        QVERIFY2(QTest::qWaitFor([&] { return (panel = panelOnScreen()).has_value(); }, timeout), "the panel never showed");

        // The frame: the window's own rectangle grown by the extents the window manager published.
        const QString info = run(u"xwininfo"_s, {u"-id"_s, window});
        const auto number = [&](const QString &label) {
            return QRegularExpression(QRegularExpression::escape(label) + u":\\s*(-?\\d+)"_s).match(info).captured(1).toInt();
        };
        const QStringList extents =
            run(u"xprop"_s, {u"-id"_s, window, u"_NET_FRAME_EXTENTS"_s}).section(u'=', 1).split(u',', Qt::SkipEmptyParts); // left, right, top, bottom
        QCOMPARE(extents.size(), 4);
        const QRect frame = QRect(number(u"Absolute upper-left X"_s), number(u"Absolute upper-left Y"_s), number(u"Width"_s), number(u"Height"_s))
                                .adjusted(-extents[0].trimmed().toInt(), -extents[2].trimmed().toInt(), extents[1].trimmed().toInt(), extents[3].trimmed().toInt());
        QVERIFY2(std::abs(panel->center().x() - frame.center().x()) <= tolerance
                     && std::abs(panel->y() - (frame.y() + RecordingIndicatorController::caretGap)) <= tolerance,
                 qPrintable(u"panel at %1, %2; frame at %3, %4, %5 wide"_s.arg(panel->x()).arg(panel->y()).arg(frame.x()).arg(frame.y()).arg(frame.width())));
        screenshot(u"indicator-window-top-xterm"_s);
    }
};

QTEST_MAIN(IndicatorTest)
#include "IndicatorTest.moc"
