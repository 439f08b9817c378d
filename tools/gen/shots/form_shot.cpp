// Shows the window's form as the user sees it (frameless, 700 by 500) and saves a grab of that
// screen area: form_shot <out.png> [page]. Needs a real display (scripts/screenshot-form.sh runs
// it under Xvfb), because the grab is taken from the screen, not from the widgets.

#include "resources/images/image_resources.h"
#include "ui_orbalofirmwareloader.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QPixmap>
#include <QScreen>
#include <QWindow>

#include <cstdio>

namespace {

// Lets the window be mapped and painted; the grab reads the screen, so the paint must be done.
void settle(QWindow *window)
{
    QElapsedTimer clock;
    clock.start();
    while ((!window || !window->isExposed()) && clock.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    clock.restart();
    while (clock.elapsed() < 400)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
}

}  // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: form_shot <out.png> [page index]\n");
        return 2;
    }
    pelmoraInitImageResources();

    QMainWindow window;
    Ui::OrbaloFirmwareLoader ui;
    ui.setupUi(&window);
    if (argc == 3) {
        // The settings page is disabled; it is shown here only to look at its drawing.
        ui.tabWidget->setCurrentIndex(QString::fromLocal8Bit(argv[2]).toInt());
    }
    window.setFixedSize(window.size());
    window.setWindowFlags(window.windowFlags() | Qt::FramelessWindowHint);
    window.move(40, 40);
    window.show();
    settle(window.windowHandle());

    const QRect area = window.frameGeometry();
    QScreen *screen = window.screen();
    const QPixmap shot = screen->grabWindow(0, area.x(), area.y(), area.width(), area.height());
    if (shot.isNull() || !shot.save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        std::fprintf(stderr, "form_shot: cannot grab or save %s\n", argv[1]);
        return 1;
    }
    std::printf("form_shot: %dx%d at (%d,%d) saved to %s\n", shot.width(), shot.height(), area.x(),
                area.y(), argv[1]);
    return 0;
}
