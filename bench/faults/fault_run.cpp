#include "fault_run.h"

#include "resources/firmware/firmware_resources.h"
#include "sim_board.h"
#include "support/hex_writer.h"
#include "support/update_rig.h"
#include "usbdevice/hex_image.h"
#include "usbdevice/sim_bridge_library.h"
#include "usbdevice/vx_si_usbxpressdev.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QThread>

#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>

namespace {

// Instant: more passes than the slowest honest ending needs (a noise burst before each of the
// 1149 replies of the write, at most 1000 steps each, plus every time-out of the sequence).
constexpr int kPassBound = 1500000;
constexpr int kPassesAfterReport = 3000;
// Real time, per update: the longest honest ending (six Get ID attempts of a second each, six
// syncs, a data block's 5 s) with room for a loaded machine whose millisecond is longer.
constexpr qint64 kWallBoundMs = 40000;
constexpr qint64 kQuietAfterReportMs = 500;

void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

// What a user's hands do on the host, by action: the window's Reset button, its Disconnect,
// a second start (the window's button or a programming client), the debug-mode switch.
struct HostActionRow {
    HostAction action;
    std::function<void(VX_SI_USBXpressDev &dev, const QString &hexPath)> run;
};

const QVector<HostActionRow> &hostActionTable()
{
    static const QVector<HostActionRow> table = {
        {HostAction::Reset, [](VX_SI_USBXpressDev &dev, const QString &) { dev.resetTarget(); }},
        {HostAction::Disconnect, [](VX_SI_USBXpressDev &dev, const QString &) { dev.closeDev(true); }},
        {HostAction::SecondStart, [](VX_SI_USBXpressDev &dev, const QString &path) { dev.SLOT_StartFirmwareUpdate(path); }},
        {HostAction::ModeSwitch, [](VX_SI_USBXpressDev &dev, const QString &) { dev.setTLVMode(!dev.isTLVMode(), true); }},
    };
    return table;
}

QByteArray image(const FaultCase &c, const QString &hexPath)
{
    if (c.smallImage) {
        QFile hex(hexPath);
        if (!hex.open(QIODevice::WriteOnly))
            return {};
        hex.write(toIntelHex(plausibleImage(1000, "Small 1.0")));
    } else {
        pelmoraInitFirmwareResources();
        if (!QFile::copy(QStringLiteral(":/hex/TremlinFix_1_0_37.hex"), hexPath))
            return {};
    }
    QFile hex(hexPath);
    QTemporaryFile bin;
    if (convertHexFileToImage(hex, bin) != 1)
        return {};
    bin.seek(0);
    return bin.readAll();
}

// The results as the device reports them, each with whether the flash held the image at that
// moment. Filled on the worker thread in real time.
struct Reports {
    std::mutex mutex;
    QVector<qint8> results;
    QVector<bool> flashEqual;
    qint64 lastAtMs = -1;

    int count()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return results.size();
    }
};

} // namespace

unsigned namedCauses(const QByteArray &console, QStringList *lines)
{
    static const QList<QPair<QRegularExpression, Cause>> kinds = {
        {QRegularExpression("EnterBootloader Time Error"), NoSync},
        {QRegularExpression("not supported"), WrongChip},
        {QRegularExpression("Verify Error"), Mismatch},
        {QRegularExpression("disconnect|not connected"), Disconnect},
        {QRegularExpression("reset", QRegularExpression::CaseInsensitiveOption), ResetCause},
        {QRegularExpression("unexpected Byte", QRegularExpression::CaseInsensitiveOption), StrayByte},
        {QRegularExpression("NACK"), NackCause},
        {QRegularExpression("Time Error"), Timeout},
        {QRegularExpression("ErrorCode|Hex-File|file path|not readable"), FileCause},
    };
    const QString text = QString::fromLatin1(console);
    static const QRegularExpression red(QStringLiteral("\x1b\\[31m(.*?)\x1b\\[0m"));
    unsigned causes = 0;
    for (auto it = red.globalMatch(text); it.hasNext();) {
        const QString line = it.next().captured(1);
        if (line.startsWith(QLatin1String("Bootloader IDEL")))
            continue;
        if (lines)
            lines->append(line);
        unsigned cause = OtherCause;
        for (const auto &kind : kinds) {
            if (kind.first.match(line).hasMatch()) {
                cause = kind.second;
                break;
            }
        }
        causes |= cause;
    }
    return causes;
}

int runFaultCase(const FaultCase &c, bool log)
{
    if (!log)
        qInstallMessageHandler(quiet);
    qputenv("PELMORA_VERIFY", c.verify ? "1" : "0");
    QTemporaryDir dir;
    const QString hexPath = dir.filePath(QStringLiteral("fw.hex"));
    const QByteArray wanted = image(c, hexPath);
    if (wanted.isEmpty())
        return 10;

    pelsim::BoardOptions options;
    options.timing = c.realtime ? pelsim::Timing::Realtime : pelsim::Timing::Instant;
    std::string bad;
    if (!pelsim::parseFaults(c.faults.toStdString(), options, &bad)) {
        std::fprintf(stderr, "fault \"%s\" not understood\n", bad.c_str());
        return 10;
    }
    auto board = std::make_shared<pelsim::SimBoard>(options);
    // The board runs older firmware, which prints when it is started.
    const QByteArray old = plausibleImage(20000, "Old 0.9");
    board->loadFlash(std::vector<uint8_t>(old.begin(), old.end()));
    board->setLatch(0x02);
    board->setLatch(0x03);
    auto lib = std::make_shared<SimBridgeLibrary>();
    lib->addBridge(QStringLiteral("Orbalo Mini (simulated)"), QStringLiteral("0001"), board);

    Reports reports;
    auto device = std::make_unique<VX_SI_USBXpressDev>(lib, false);
    VX_SI_USBXpressDev &dev = *device;
    QElapsedTimer clock;
    auto flashHoldsImage = [&]() {
        const std::vector<uint8_t> flash = board->flash();
        return QByteArray(reinterpret_cast<const char *>(flash.data()), wanted.size()) == wanted;
    };
    QObject::connect(&dev, &VX_SI_USBXpressDev::SIGNAL_FirmwareWriteFinish, &dev, [&](qint8 r) {
        const bool equal = flashHoldsImage();
        std::lock_guard<std::mutex> lock(reports.mutex);
        reports.results.append(r);
        reports.flashEqual.append(equal);
        reports.lastAtMs = clock.elapsed();
    }, Qt::DirectConnection);
    dev.fillListOfDevice();
    if (dev.openDevice(0) != 1)
        return 10;
    if (c.lineControlStatus)
        lib->injectNext(SiOp::SetLineControl, c.lineControlStatus, 1000000);

    // The old firmware prints for a while; the window takes its text as it comes, so only
    // what arrives after its last look is left in the receive ring when the update starts.
    char byte = 0;
    if (c.realtime) {
        dev.start();
        for (int i = 0; i < 100; ++i) {
            QThread::msleep(2);
            while (dev.getRxByte(byte) == 1) {
            }
        }
    } else {
        for (int i = 0; i < 200; ++i) {
            dev.pollOnce();
            while (dev.getRxByte(byte) == 1) {
            }
        }
    }

    QByteArray console;
    auto readConsole = [&]() {
        while (dev.getConsoleByte(byte) == 1)
            console.append(byte);
    };
    bool acted = false;
    auto interfere = [&]() {
        if (acted || c.action == HostAction::None)
            return;
        if (c.actionFrame > 0 && board->framesSeen(c.actionKind) < c.actionFrame)
            return;
        acted = true;
        for (const HostActionRow &row : hostActionTable())
            if (row.action == c.action)
                row.run(dev, hexPath);
    };

    // A second start counts only once it has been made: an update that ends before its moment
    // has one result to give.
    auto starts = [&]() { return acted && c.action == HostAction::SecondStart ? 2 : 1; };
    clock.start();
    dev.SLOT_StartFirmwareUpdate(hexPath);
    int passes = 0;
    if (c.realtime) {
        const qint64 bound = kWallBoundMs * c.starts();
        while (reports.count() < starts() && clock.elapsed() < bound) {
            interfere();
            readConsole();
            QThread::usleep(200);
        }
        const qint64 until = clock.elapsed() + kQuietAfterReportMs;
        while (clock.elapsed() < until) {
            readConsole();
            QThread::msleep(5);
        }
    } else {
        while (reports.count() < starts() && passes < kPassBound) {
            interfere();
            dev.pollOnce();
            readConsole();
            ++passes;
        }
        for (int i = 0; i < kPassesAfterReport && reports.count() >= starts(); ++i)
            dev.pollOnce();
    }
    readConsole();
    device.reset();  // the worker has stopped: the reports are complete

    std::lock_guard<std::mutex> lock(reports.mutex);
    int outcome = ReportedFailure;
    if (reports.results.size() < starts())
        outcome = Hang;
    else if (reports.results.size() > starts())
        outcome = DoubleReport;
    else if (reports.results.last() == 1 && !flashHoldsImage())
        outcome = FalseSuccess;
    for (int i = 0; i < reports.results.size() && outcome == ReportedFailure; ++i)
        if (reports.results[i] == 1 && !reports.flashEqual[i])
            outcome = FalseSuccess;
    if (outcome == ReportedFailure && !reports.results.contains(-1))
        outcome = TrueSuccess;

    QStringList lines;
    unsigned named = namedCauses(console, &lines);
    bool causeOk = true;
    if (reports.results.contains(-1)) {
        if (named == 0)
            named = Unnamed;
        causeOk = !c.mustSucceed && (named & ~c.causes) == 0;
    }
    QStringList shown;
    for (qint8 r : reports.results)
        shown << QString::number(r);
    std::printf("verdict outcome=%d cause=%s named=%s passes=%d ms=%lld acted=%d reports=%s lines=%s\n", outcome,
                causeOk ? "ok" : "wrong", qPrintable(causeNames(named)), passes,
                static_cast<long long>(reports.lastAtMs), acted ? 1 : 0,
                qPrintable(shown.isEmpty() ? QStringLiteral("none") : shown.join(',')),
                qPrintable(lines.join(QStringLiteral(" / ")).replace(' ', QChar(0xB7)).left(300)));
    std::fflush(stdout);
    return outcome;
}
