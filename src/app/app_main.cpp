#include "app_main.h"

#include "app/log.h"
#include "usbdevice/vx_si_usbxpressdev.h"

#include <QApplication>
#include <QTimer>

// Until the main window lands: list the bridges the worker finds, then end.
int pelmoraMain(int argc, char *argv[])
{
    QApplication app(argc, argv);
    VX_SI_USBXpressDev device(nullptr, false);
    QObject::connect(&device, &VX_SI_USBXpressDev::SIGNAL_newDeviceListAvailable, &app, [&] {
        for (const QString &name : device.getDeviceNameList())
            logStatus("pelmoraMain", "Bridge: %s", qUtf8Printable(name));
        QTimer::singleShot(0, &app, &QApplication::quit);
    });
    device.start();
    return app.exec();
}
