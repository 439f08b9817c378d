// The whole update of the built-in Tremlin image through the bridge object and its real
// worker thread, against the simulated bridge and board in real time, beside the physical
// floor of the wire and the flash. Prints figures; asserts nothing about time.
#include "resources/firmware/firmware_resources.h"
#include "sim_board.h"
#include "usbdevice/hex_image.h"
#include "usbdevice/sim_bridge_library.h"
#include "usbdevice/vx_si_usbxpressdev.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QThread>
#include <QTimer>

#include <cstdio>

namespace {

constexpr double kByteUs = 11.0 * 1e6 / 115200.0;  // 8E1 at 115200
constexpr double kTarget = 1.15;

struct Floor {
    double wireUs = 0;
    double programUs = 0;
    double eraseUs = 40000;
    double total() const { return wireUs + programUs + eraseUs; }
};

// Bytes both ways of sync, Get ID, the mass erase and every block's three frames and replies.
Floor physicalFloor(qint64 size)
{
    Floor f;
    double bytes = (1 + 1) + (2 + 5) + (2 + 1) + (2 + 1);
    for (qint64 at = 0; at < size; at += 256) {
        const qint64 n = qMin<qint64>(256, size - at);
        const qint64 padded = (n + 3) / 4 * 4;
        bytes += 2 + 1 + 5 + 1 + (padded + 2) + 1;
        f.programUs += double(padded / 2) * 52.5;
    }
    f.wireUs = bytes * kByteUs;
    return f;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    pelmoraInitFirmwareResources();
    QTemporaryDir dir;
    const QString hexPath = dir.filePath(QStringLiteral("TremlinFix_1_0_37.hex"));
    if (!QFile::copy(QStringLiteral(":/hex/TremlinFix_1_0_37.hex"), hexPath)) {
        std::fprintf(stderr, "bench-update: built-in image missing\n");
        return 1;
    }
    QFile hexFile(hexPath);
    QTemporaryFile binFile;
    if (convertHexFileToImage(hexFile, binFile) != 1) {
        std::fprintf(stderr, "bench-update: built-in image does not convert\n");
        return 1;
    }
    binFile.seek(0);
    const QByteArray image = binFile.readAll();

    pelsim::BoardOptions options;
    options.timing = pelsim::Timing::Realtime;
    auto board = std::make_shared<pelsim::SimBoard>(options, pelsim::steadyClock());
    auto lib = std::make_shared<SimBridgeLibrary>();
    lib->addBridge(QStringLiteral("Orbalo Mini (simulated)"), QStringLiteral("0001"), board);

    VX_SI_USBXpressDev dev(lib, false);
    QEventLoop loop;
    qint8 result = 0;
    qint64 wallMs = 0;
    QElapsedTimer timer;
    QObject::connect(&dev, &VX_SI_USBXpressDev::SIGNAL_FirmwareWriteFinish, &loop, [&](qint8 r) {
        wallMs = timer.elapsed();
        result = r;
        loop.quit();
    });
    dev.start();
    for (int i = 0; i < 500 && dev.getDeviceNameList().isEmpty(); ++i)
        QThread::msleep(2);
    if (dev.openDevice(0) != 1) {
        std::fprintf(stderr, "bench-update: simulated bridge does not open\n");
        return 1;
    }
    QTimer::singleShot(120000, &loop, &QEventLoop::quit);  // a bound, not a figure
    timer.start();
    dev.SLOT_StartFirmwareUpdate(hexPath);
    loop.exec();

    const std::vector<uint8_t> flash = board->flash();
    const bool equal = result == 1
                       && QByteArray(reinterpret_cast<const char *>(flash.data()), image.size()) == image;
    const Floor floor = physicalFloor(image.size());
    const pelsim::SimBoard::Stats stats = board->stats();
    const int blocks = int((image.size() + 255) / 256);
    const double wall = double(wallMs) / 1000.0;
    const double floorS = floor.total() / 1e6;

    std::printf("bench-update: built-in image, %lld bytes, %d blocks, real-time simulated board\n",
                static_cast<long long>(image.size()), blocks);
    std::printf("  result                 %d (%s)\n", int(result),
                equal ? "flash equals the image" : "FLASH DIFFERS OR UPDATE FAILED");
    std::printf("  wall time              %8.3f s\n", wall);
    std::printf("  physical floor         %8.3f s  (wire %.3f s at 11 bits/byte, programming %.3f s, "
                "mass erase %.3f s)\n", floorS, floor.wireUs / 1e6, floor.programUs / 1e6, floor.eraseUs / 1e6);
    std::printf("  ratio                  %8.3f    (target <= %.2f)%s\n", wall / floorS, kTarget,
                wall / floorS <= kTarget ? "" : "  TARGET MISSED");
    std::printf("  where the rest goes:\n");
    std::printf("    board waiting for the host after a reply: %.3f s over %llu writes "
                "(%.3f ms each, max %.3f ms; %.2f ms per block)\n",
                double(stats.hostReactionUs) / 1e6, static_cast<unsigned long long>(stats.hostWrites),
                stats.hostWrites ? double(stats.hostReactionUs) / 1e3 / double(stats.hostWrites) : 0.0,
                double(stats.hostReactionMaxUs) / 1e3, double(stats.hostReactionUs) / 1e3 / blocks);
    std::printf("    chip busy programming/erasing (model): %.3f s; bytes lost: %llu\n",
                double(stats.busyUs) / 1e6, static_cast<unsigned long long>(stats.lostBytes));
    std::printf("    wall - floor - host waits: %.3f s (boot-mode switches, sleeps before the sync)\n",
                wall - floorS - double(stats.hostReactionUs) / 1e6);
    // The worker's step: its 1 ms sleep as this machine gives it.
    QElapsedTimer step;
    step.start();
    for (int i = 0; i < 500; ++i)
        QThread::msleep(1);
    const double passMs = double(step.nsecsElapsed()) / 1e6 / 500;
    // The next frame goes out in the pass that takes the ACK, so each of a block's 3 replies
    // waits for the rest of the pass it arrived in: half a pass on average.
    std::printf("    worker pass here: %.3f ms (QThread::msleep(1)); each of a block's 3 replies waits "
                "~0.5 pass for the pass that answers it = %.2f ms per block, %.2f s for the image\n",
                passMs, 3 * 0.5 * passMs, 3 * 0.5 * passMs * blocks / 1000.0);
    return equal ? 0 : 1;
}
