// What the recording indicator costs while it follows the caret of a real program, and how soon it
// follows: for a Qt line edit and a GTK 3 entry on the headless desktop, a session with the
// indicator shown and one with it hidden, each with a key typed (then taken back) every half
// second. Prints this process's CPU share in each (all its threads: the caret-lookup thread too),
// the lookups it actually ran per second, and the time from each key to the panel's window moving
// on the X server. Prints figures; never fails on a time.
//
//   tests/harness/with-desktop build/tests/bench/bench_indicator [--seconds S] [--still-logo]
//
// --still-logo adds a session with the indicator shown but its gradient not turning: what the
// lookups cost without the animation.
//
// The process is not the whole Murmex: it holds the controller with the same lookup thread, tree
// and platform classes Murmex uses, and no recorder. A recording's own cost is the same with and
// without the indicator, so the difference between the two sessions is what the indicator adds.

#include "brand/BrandAssets.h"
#include "insertion/CaretLocator.h"
#include "insertion/CaretReveal.h"
#include "insertion/RecordingIndicatorController.h"
#include "brand/AnimatedGradientLogoView.h"
#include "insertion/RecordingIndicatorPanel.h"
#include "platform/linux/AccessibilityStatus.h"
#include "platform/linux/AtspiAccessibilityTree.h"
#include "platform/linux/X11FrontmostApplication.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <poll.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point moment)
{
    return std::chrono::duration<double>(moment.time_since_epoch()).count();
}

double processCpuSeconds()
{
    timespec spent{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &spent);
    return double(spent.tv_sec) + double(spent.tv_nsec) / 1e9;
}

double percentile(std::vector<double> values, double fraction)
{
    if (values.empty())
        return std::nan("");
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(std::ceil(fraction * double(values.size())) - 1))];
}

[[noreturn]] void fail(const QString &message)
{
    std::fprintf(stderr, "bench_indicator: %s\n", qPrintable(message));
    std::exit(1);
}

// Runs the event loop for `milliseconds`, or until `done` holds (checked every 10 ms), sleeping
// in between like any idle program.
void spin(int milliseconds, const std::function<bool()> &done = {})
{
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(milliseconds);
    for (auto left = milliseconds; left > 0 && !(done && done());
         left = int(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count())) {
        QEventLoop loop;
        QTimer::singleShot(done ? std::min(left, 10) : left, Qt::PreciseTimer, &loop, &QEventLoop::quit);
        loop.exec();
    }
}

// The tree Murmex uses, counting the work handed to its thread: each position update is one.
class CountingTree final : public AccessibilityTree {
public:
    void perform(std::function<void()> work) override
    {
        ++performed;
        tree.perform(std::move(work));
    }
    AccessibleElementRef applicationElement(qint64 processId) override { return tree.applicationElement(processId); }
    void requestFullTree(const AccessibleElementRef &application) override { tree.requestFullTree(application); }
    AccessibleElementRef systemWideFocusedElement() override { return tree.systemWideFocusedElement(); }

    std::atomic<int> performed = 0;

private:
    AtspiAccessibilityTree tree;
};

// A connection of its own: keys through XTEST, and the moves of one window as the server makes them.
class XServer {
public:
    XServer()
        : connection(xcb_connect(nullptr, nullptr))
    {
        if (xcb_connection_has_error(connection))
            fail(QStringLiteral("no X display"));
        const xcb_setup_t *setup = xcb_get_setup(connection);
        const int count = setup->max_keycode - setup->min_keycode + 1;
        xcb_get_keyboard_mapping_reply_t *mapping =
            xcb_get_keyboard_mapping_reply(connection, xcb_get_keyboard_mapping(connection, setup->min_keycode, quint8(count)), nullptr);
        if (!mapping)
            fail(QStringLiteral("no keyboard mapping"));
        const xcb_keysym_t *symbols = xcb_get_keyboard_mapping_keysyms(mapping);
        for (int i = count * mapping->keysyms_per_keycode - 1; i >= 0; --i)
            keycodes[symbols[i]] = xcb_keycode_t(setup->min_keycode + i / mapping->keysyms_per_keycode);
        std::free(mapping);
    }
    ~XServer()
    {
        stopping = true;
        if (reader.joinable())
            reader.join();
        xcb_disconnect(connection);
    }

    // Returns once the server has handled the key's press and release.
    void tap(xcb_keysym_t keysym)
    {
        const xcb_keycode_t key = keycodes.at(keysym);
        xcb_test_fake_input(connection, XCB_KEY_PRESS, key, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        xcb_test_fake_input(connection, XCB_KEY_RELEASE, key, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr)); // a round trip
    }

    // From now on, every position the window takes is recorded with the moment it arrived.
    void watchMoves(xcb_window_t window)
    {
        const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
        xcb_change_window_attributes(connection, window, XCB_CW_EVENT_MASK, &mask);
        xcb_flush(connection);
        reader = std::thread([this] { readMoves(); });
    }

    // The first move after `since` to a position other than the one the window had then.
    std::optional<double> firstMoveAfter(double since)
    {
        std::lock_guard guard(lock);
        std::optional<std::pair<int, int>> before;
        for (const Move &move : moves) {
            if (move.at <= since)
                before = move.position;
            else if (move.position != before)
                return move.at;
        }
        return std::nullopt;
    }

private:
    struct Move {
        double at;
        std::pair<int, int> position;
    };

    void readMoves()
    {
        pollfd descriptor{xcb_get_file_descriptor(connection), POLLIN, 0};
        while (!stopping) {
            if (poll(&descriptor, 1, 50) <= 0)
                continue;
            // Replies to the key round trips are taken by the main thread; only events come here.
            while (xcb_generic_event_t *event = xcb_poll_for_event(connection)) {
                if ((event->response_type & 0x7f) == XCB_CONFIGURE_NOTIFY) {
                    const auto *configure = reinterpret_cast<xcb_configure_notify_event_t *>(event);
                    std::lock_guard guard(lock);
                    moves.push_back({seconds(Clock::now()), {configure->x, configure->y}});
                }
                std::free(event);
            }
        }
    }

    xcb_connection_t *connection;
    std::map<xcb_keysym_t, xcb_keycode_t> keycodes;
    std::thread reader;
    std::atomic<bool> stopping = false;
    std::mutex lock;
    std::vector<Move> moves;
};

bool desktopAccessibilityIsOn()
{
    QDBusMessage get = QDBusMessage::createMethodCall(QStringLiteral("org.a11y.Bus"), QStringLiteral("/org/a11y/bus"),
                                                      QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << QStringLiteral("org.a11y.Status") << QStringLiteral("IsEnabled");
    const QDBusMessage reply = QDBusConnection::sessionBus().call(get, QDBus::Block, 5000);
    return reply.type() == QDBusMessage::ReplyMessage && reply.arguments().value(0).value<QDBusVariant>().variant().toBool();
}

struct Target {
    const char *name;
    QString title;
    QString program;
    QStringList arguments;
    QString textFile;
    std::unique_ptr<QProcess> process = std::make_unique<QProcess>();
};

void start(Target &target)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_LINUX_ACCESSIBILITY_ALWAYS_ON"), QStringLiteral("1"));
    environment.remove(QStringLiteral("QT_NO_GLIB"));
    target.process->setProcessEnvironment(environment);
    target.process->start(target.program, target.arguments << target.textFile);
    if (!target.process->waitForStarted())
        fail(QStringLiteral("%1 did not start").arg(target.program));
}

void activate(const Target &target)
{
    const int status = QProcess::execute(QStringLiteral("xdotool"),
                                         {QStringLiteral("search"), QStringLiteral("--sync"), QStringLiteral("--onlyvisible"), QStringLiteral("--pid"),
                                          QString::number(target.process->processId()), QStringLiteral("--name"), u'^' + target.title + u'$',
                                          QStringLiteral("windowactivate"), QStringLiteral("--sync")});
    spin(10000, [&] { return QFile::exists(target.textFile); }); // its field has the keyboard focus
    if (status != 0 || !QFile::exists(target.textFile))
        fail(QStringLiteral("%1 could not be activated").arg(target.name));
}

enum class Mode { hidden, shown, stillLogo };
const char *const modeNames[] = {"hidden", "shown", "logo still"};

struct Session {
    double cpuShare = 0;
    double lookupsPerSecond = 0;
    std::vector<double> latencies; // milliseconds
    int keys = 0;
};

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_NO_GLIB", "1"); // as Murmex runs Qt: GLib's context belongs to the tree's thread
    QApplication application(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({QStringLiteral("seconds"), QStringLiteral("Length of each session (default 30)."), QStringLiteral("S"), QStringLiteral("30")});
    parser.addOption({QStringLiteral("still-logo"), QStringLiteral("Also a session with the logo's gradient not turning.")});
    parser.process(application);
    std::vector<Mode> modes{Mode::hidden, Mode::shown};
    if (parser.isSet(QStringLiteral("still-logo")))
        modes.push_back(Mode::stillLogo);
    const int sessionSeconds = std::max(2, parser.value(QStringLiteral("seconds")).toInt());
    BrandAssets::setLogoPath(QStringLiteral(MURMEX_SOURCE_DIR "/share/murmex/Murmex.svg"));

    AccessibilityStatus::enableOnce();
    spin(10000, desktopAccessibilityIsOn);
    if (!desktopAccessibilityIsOn())
        fail(QStringLiteral("the desktop's accessibility could not be turned on"));
    CountingTree tree;
    RevealState revealState;
    AccessibilityCaretRevealer revealer(tree, revealState);
    X11FrontmostApplication frontmost;
    RecordingIndicatorController indicator(revealer, revealState, frontmost);
    XServer server;
    server.watchMoves(xcb_window_t(indicator.panel().winId()));

    QTemporaryDir scratch;
    Target targets[] = {
        {"Qt line edit", QStringLiteral("Murmex target"), QStringLiteral(MURMEX_TARGET_PROGRAM), {}, scratch.filePath(QStringLiteral("qt.txt"))},
        {"GTK 3 entry", QStringLiteral("Murmex GTK target"), QStringLiteral(MURMEX_SOURCE_DIR "/tests/harness/gtk-target"), {},
         scratch.filePath(QStringLiteral("gtk.txt"))},
    };
    for (Target &target : targets)
        start(target);

    std::printf("%d s per session, a key every 0.5 s or so (typed, then taken back)\n\n", sessionSeconds);
    std::printf("%-14s %-10s %9s %10s %6s %18s %10s\n", "target", "indicator", "CPU", "lookups/s", "moves", "key to move: median", "p90");
    for (Target &target : targets) {
        activate(target);
        for (const Mode mode : modes) {
            const bool shown = mode != Mode::hidden;
            const qint64 pid = target.process->processId();
            if (shown) {
                indicator.prepare(pid);
                indicator.show(pid);
                spin(5000, [&] { return indicator.panel().isVisible(); });
                if (!indicator.panel().isVisible())
                    std::printf("(%s: the panel never showed; the figures below are without a caret)\n", target.name);
                if (mode == Mode::stillLogo)
                    indicator.panel().logoView().stopAnimating();
            }
            Session session;
            const int performedBefore = tree.performed;
            const double cpuBefore = processCpuSeconds();
            const Clock::time_point begin = Clock::now();
            // The keys fall at every phase of the 0.1 s position timer: 0.5 s apart, give or take 50 ms.
            for (Clock::time_point next = begin; next < begin + std::chrono::seconds(sessionSeconds);
                 next += std::chrono::milliseconds(450 + (session.keys * 37) % 100)) {
                spin(int(std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count()));
                const double pressed = seconds(Clock::now());
                server.tap(session.keys++ % 2 == 0 ? 0x61 /* a */ : 0xff08 /* BackSpace */);
                if (shown) {
                    spin(450, [&] { return server.firstMoveAfter(pressed).has_value(); });
                    if (const std::optional<double> moved = server.firstMoveAfter(pressed))
                        session.latencies.push_back((*moved - pressed) * 1000);
                }
            }
            const double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
            session.cpuShare = (processCpuSeconds() - cpuBefore) / elapsed * 100;
            session.lookupsPerSecond = (tree.performed - performedBefore) / elapsed;
            if (shown)
                indicator.hide();
            std::printf("%-14s %-10s %8.2f%% %10.1f %6zu %16.0f ms %7.0f ms\n", target.name, modeNames[int(mode)], session.cpuShare,
                        session.lookupsPerSecond, session.latencies.size(), percentile(session.latencies, 0.5), percentile(session.latencies, 0.9));
            std::fflush(stdout);
        }
    }
    std::printf("\nCPU: this process's time over the session's wall time, all threads (100%% = one core).\n"
                "moves: keys after which the panel's window moved before the next key.\n");
    for (Target &target : targets) {
        target.process->terminate();
        target.process->waitForFinished(3000);
    }
    return 0;
}
