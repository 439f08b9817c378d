// The whole update of the built-in Tremlin image through the bridge object and its real
// worker thread, against the simulated bridge and board in real time, beside the physical
// floor of the wire and the flash: once written and read back (the default), once written
// alone (PELMORA_VERIFY=0). Prints figures; asserts nothing about time.
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
constexpr double kTargetWithReadBack = 1.10;
constexpr double kTargetWriteAlone = 1.08;

struct Floor {
    double writeWireUs = 0;
    double programUs = 0;
    double eraseUs = 40000;
    double readWireUs = 0;
    double write() const { return writeWireUs + programUs + eraseUs; }
    double total(bool readBack) const { return write() + (readBack ? readWireUs : 0); }
};

// Bytes both ways of sync, Get ID, the mass erase and every block's three frames and replies;
// for the read-back, every block's command, address and count with their ACKs and the data.
Floor physicalFloor(qint64 size)
{
    Floor f;
    double writeBytes = (1 + 1) + (2 + 5) + (2 + 1) + (2 + 1);
    double readBytes = 0;
    for (qint64 at = 0; at < size; at += 256) {
        const qint64 n = qMin<qint64>(256, size - at);
        const qint64 padded = (n + 3) / 4 * 4;
        writeBytes += 2 + 1 + 5 + 1 + (padded + 2) + 1;
        f.programUs += double(padded / 2) * 52.5;
        readBytes += 2 + 1 + 5 + 1 + 2 + 1 + padded;
    }
    f.writeWireUs = writeBytes * kByteUs;
    f.readWireUs = readBytes * kByteUs;
    return f;
}

struct Run {
    qint8 result = 0;
    bool equal = false;
    double wallS = 0;
    int readFrames = 0;
    pelsim::SimBoard::Stats stats;
};

Run runUpdate(const QString &hexPath, const QByteArray &image, bool readBack)
{
    qputenv("PELMORA_VERIFY", readBack ? "1" : "0");
    pelsim::BoardOptions options;
    options.timing = pelsim::Timing::Realtime;
    auto board = std::make_shared<pelsim::SimBoard>(options, pelsim::steadyClock());
    auto lib = std::make_shared<SimBridgeLibrary>();
    lib->addBridge(QStringLiteral("Orbalo Mini (simulated)"), QStringLiteral("0001"), board);

    Run run;
    VX_SI_USBXpressDev dev(lib, false);
    QEventLoop loop;
    QElapsedTimer timer;
    QObject::connect(&dev, &VX_SI_USBXpressDev::SIGNAL_FirmwareWriteFinish, &loop, [&](qint8 r) {
        run.wallS = double(timer.elapsed()) / 1000.0;
        run.result = r;
        loop.quit();
    });
    dev.start();
    for (int i = 0; i < 500 && dev.getDeviceNameList().isEmpty(); ++i)
        QThread::msleep(2);
    if (dev.openDevice(0) != 1) {
        std::fprintf(stderr, "bench-update: simulated bridge does not open\n");
        return run;
    }
    QTimer::singleShot(120000, &loop, &QEventLoop::quit);  // a bound, not a figure
    timer.start();
    dev.SLOT_StartFirmwareUpdate(hexPath);
    loop.exec();
    const std::vector<uint8_t> flash = board->flash();
    run.equal = run.result == 1
                && QByteArray(reinterpret_cast<const char *>(flash.data()), image.size()) == image;
    run.readFrames = board->framesSeen(pelsim::FrameKind::Read);
    run.stats = board->stats();
    return run;
}

void report(const char *title, const Run &run, bool readBack, double floorS, double target, int blocks)
{
    std::printf("%s\n", title);
    std::printf("  result                 %d (%s), %d Read Memory commands seen by the board%s\n", int(run.result),
                run.equal ? "flash equals the image" : "FLASH DIFFERS OR UPDATE FAILED", run.readFrames,
                readBack == (run.readFrames > 0) ? "" : readBack ? "  NO READ-BACK" : "  READ-BACK NOT ASKED FOR");
    std::printf("  wall time              %8.3f s\n", run.wallS);
    std::printf("  physical floor         %8.3f s\n", floorS);
    std::printf("  ratio                  %8.3f    (target <= %.2f)%s\n", run.wallS / floorS, target,
                run.wallS / floorS <= target ? "" : "  TARGET MISSED");
    std::printf("  board waiting for the host after a reply: %.3f s over %llu writes (%.3f ms each, max %.3f ms; "
                "%.2f ms per block)\n",
                double(run.stats.hostReactionUs) / 1e6, static_cast<unsigned long long>(run.stats.hostWrites),
                run.stats.hostWrites ? double(run.stats.hostReactionUs) / 1e3 / double(run.stats.hostWrites) : 0.0,
                double(run.stats.hostReactionMaxUs) / 1e3, double(run.stats.hostReactionUs) / 1e3 / blocks);
    std::printf("  chip busy programming/erasing (model): %.3f s; bytes lost: %llu\n",
                double(run.stats.busyUs) / 1e6, static_cast<unsigned long long>(run.stats.lostBytes));
    std::printf("  wall - floor - host waits: %.3f s (boot-mode switches, sleeps before the sync)\n",
                run.wallS - floorS - double(run.stats.hostReactionUs) / 1e6);
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
    const Floor floor = physicalFloor(image.size());
    const int blocks = int((image.size() + 255) / 256);

    std::printf("bench-update: built-in image, %lld bytes, %d blocks, real-time simulated board, worker thread\n",
                static_cast<long long>(image.size()), blocks);
    std::printf("  floor of the write      %8.3f s  (wire %.3f s at 11 bits/byte, programming %.3f s, mass erase "
                "%.3f s)\n", floor.write() / 1e6, floor.writeWireUs / 1e6, floor.programUs / 1e6, floor.eraseUs / 1e6);
    std::printf("  floor of the read-back  %8.3f s  (wire)\n", floor.readWireUs / 1e6);
    const Run both = runUpdate(hexPath, image, true);
    report("written and read back (default):", both, true, floor.total(true) / 1e6, kTargetWithReadBack, blocks);
    const Run alone = runUpdate(hexPath, image, false);
    report("written alone (PELMORA_VERIFY=0):", alone, false, floor.total(false) / 1e6, kTargetWriteAlone, blocks);

    // The worker's step: its 1 ms sleep as this machine gives it.
    QElapsedTimer step;
    step.start();
    for (int i = 0; i < 500; ++i)
        QThread::msleep(1);
    const double passMs = double(step.nsecsElapsed()) / 1e6 / 500;
    // The next frame goes out in the pass that takes the ACK, so each reply waits for the rest
    // of the pass it arrived in: half a pass on average.
    std::printf("worker pass here: %.3f ms (QThread::msleep(1)); each of a block's 3 replies waits ~0.5 pass for "
                "the pass that answers it = %.2f ms per block, %.2f s for the image\n",
                passMs, 3 * 0.5 * passMs, 3 * 0.5 * passMs * blocks / 1000.0);
    std::printf("bench-update summary: written and read back %.3f s = %.3f x floor %.3f s (target <= %.2f); "
                "written alone %.3f s = %.3f x floor %.3f s (target <= %.2f)\n",
                both.wallS, both.wallS / (floor.total(true) / 1e6), floor.total(true) / 1e6, kTargetWithReadBack,
                alone.wallS, alone.wallS / (floor.total(false) / 1e6), floor.total(false) / 1e6, kTargetWriteAlone);
    return both.equal && alone.equal ? 0 : 1;
}
