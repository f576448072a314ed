// Saves a picture of one X11 window as a PNG, for the headless demo in
// scripts/run.sh, which has no desktop to take screenshots with.
//   kelvane_snap WINDOW_ID FILE.png
// The window id is the one xdotool reports (decimal). Exits 1 when the window
// cannot be grabbed or the file cannot be written.

#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <QString>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: kelvane_snap WINDOW_ID FILE.png\n");
        return 2;
    }
    bool ok = false;
    const WId window = QString::fromLocal8Bit(argv[1]).toULongLong(&ok);
    if (!ok) {
        std::fprintf(stderr, "kelvane_snap: not a window id: %s\n", argv[1]);
        return 2;
    }
    QGuiApplication app(argc, argv);
    QScreen* screen = QGuiApplication::primaryScreen();
    const QPixmap picture = screen ? screen->grabWindow(window) : QPixmap();
    if (picture.isNull()) {
        std::fprintf(stderr, "kelvane_snap: window %s cannot be grabbed\n", argv[1]);
        return 1;
    }
    const QString path = QString::fromLocal8Bit(argv[2]);
    if (!picture.save(path, "PNG")) {
        std::fprintf(stderr, "kelvane_snap: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
