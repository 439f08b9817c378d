#include "app_main.h"

#include "app/shutdown_signals.h"
#include "mainwindow/orbalofirmwareloader.h"
#include "resources/images/image_resources.h"

#include <QApplication>

int pelmoraMain(int argc, char *argv[])
{
    catchTerminationSignals();
    QApplication app(argc, argv);
    // The settings folder is named after these (per-user application data).
    QCoreApplication::setOrganizationName(QStringLiteral("Zorvane"));
    QCoreApplication::setApplicationName(QStringLiteral("Pelmora"));
    pelmoraInitImageResources();
    int result = 0;
    {
        OrbaloFirmwareLoader window(nullptr);
        closeOnTerminationSignals(&window);
        window.show();
        result = app.exec();
    }
    return result;
}
