// murmex-screenshot OUT.png
//
// Saves a PNG of the whole primary screen of the X display in $DISPLAY.
// Used by the test harness to capture what a headless desktop looks like.

#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

#include <cstdio>
#include <cstdlib>

int main(int argc, char *argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUT.png\n", argv[0]);
        return 2;
    }
    // Qt aborts with a terse message when it cannot reach a display, so
    // check up front and say what is missing.
    if (!std::getenv("DISPLAY") || !*std::getenv("DISPLAY")) {
        std::fprintf(stderr, "murmex-screenshot: DISPLAY is not set\n");
        return 1;
    }
    // The harness desktop is X11; never pick up a Wayland session by accident.
    qputenv("QT_QPA_PLATFORM", "xcb");

    QGuiApplication app(argc, argv);
    const char *out = argv[1];

    QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen) {
        std::fprintf(stderr, "murmex-screenshot: no screen found\n");
        return 1;
    }
    // Window id 0 means the root window, i.e. everything on the screen.
    const QPixmap shot = screen->grabWindow(0);
    if (shot.isNull()) {
        std::fprintf(stderr, "murmex-screenshot: grabbing the screen failed\n");
        return 1;
    }
    if (!shot.save(QString::fromLocal8Bit(out), "PNG")) {
        std::fprintf(stderr, "murmex-screenshot: cannot write %s\n", out);
        return 1;
    }
    return 0;
}
