// murmex-screenshot OUT.png
//
// Saves a PNG of the whole primary screen of the X display in $DISPLAY.
// Used by the test harness to capture what a headless desktop looks like.

#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

int main(int argc, char *argv[])
{
    if (argc != 2 && argc != 6 && argc != 7) {
        std::fprintf(stderr, "usage: %s OUT.png [X Y WIDTH HEIGHT [ZOOM]]\n", argv[0]);
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
    // A region, enlarged by a whole factor without smoothing, shows small things such as the tray
    // icon pixel by pixel.
    const bool region = argc >= 6;
    const int zoom = argc == 7 ? std::max(1, std::atoi(argv[6])) : 1;
    QPixmap shot = region ? screen->grabWindow(0, std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]))
                          : screen->grabWindow(0);
    if (zoom > 1)
        shot = shot.scaled(shot.size() * zoom, Qt::IgnoreAspectRatio, Qt::FastTransformation);
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
