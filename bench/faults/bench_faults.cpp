// The fault matrix: the whole update of the built-in image (and of a 4-block image) against
// the simulated board showing each fault in each phase. Every case runs in a child process of
// its own, so a crash is counted, not fatal, and a hung update is cut off at a bound.
//
//   bench-faults            all cases, a table; exit 1 on a false success, hang or crash
//   bench-faults --list     the cases
//   bench-faults --case N [--log]   one case (what the matrix runs in each child), with the
//                                   loader's log lines when asked
#include "fault_cases.h"

#include "resources/firmware/firmware_resources.h"
#include "sim_board.h"
#include "support/hex_writer.h"
#include "usbdevice/hex_image.h"
#include "usbdevice/sim_bridge_library.h"
#include "usbdevice/vx_si_usbxpressdev.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QVariant>

#include <cstdio>

namespace {

// Outcomes, as the child's exit status.
enum Outcome { TrueSuccess = 0, FalseSuccess = 1, ReportedFailure = 2, Hang = 3, DoubleReport = 4 };

// More passes than the slowest legitimate ending needs: a noise burst before each of the
// 1149 replies of the write, at most 1000 steps each, plus every time-out of the sequence.
constexpr int kPassBound = 1500000;
constexpr int kPassesAfterReport = 3000;
constexpr int kChildWallBoundMs = 90000;

void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

QByteArray plausible(QByteArray image, const char *name)
{
    const char vectors[] = {0x00, 0x50, 0x00, 0x20, 0x41, 0x01, 0x00, 0x08};
    image.replace(0, 8, QByteArray(vectors, 8));
    const QByteArray tag = QByteArray("FWNAME=") + name;
    image.replace(8, tag.size() + 1, tag + '\0');
    return image;
}

int runCase(const FaultCase &c, bool log)
{
    if (!log)
        qInstallMessageHandler(quiet);
    QTemporaryDir dir;
    QString hexPath = dir.filePath(QStringLiteral("fw.hex"));
    if (c.smallImage) {
        QByteArray image(1000, '\0');
        for (int i = 0; i < image.size(); ++i)
            image[i] = char((i * 37 + 11) & 0xFF);
        QFile hex(hexPath);
        if (!hex.open(QIODevice::WriteOnly))
            return 10;
        hex.write(toIntelHex(plausible(image, "Small 1.0")));
        hex.close();
    } else {
        pelmoraInitFirmwareResources();
        if (!QFile::copy(QStringLiteral(":/hex/TremlinFix_1_0_37.hex"), hexPath))
            return 10;
    }
    QByteArray image;
    {
        QFile hex(hexPath);
        QTemporaryFile bin;
        if (convertHexFileToImage(hex, bin) != 1)
            return 10;
        bin.seek(0);
        image = bin.readAll();
    }

    pelsim::BoardOptions options;
    std::string bad;
    if (!pelsim::parseFaults(c.faults.toStdString(), options, &bad)) {
        std::fprintf(stderr, "fault \"%s\" not understood\n", bad.c_str());
        return 10;
    }
    auto board = std::make_shared<pelsim::SimBoard>(options);
    // The board runs older firmware, which prints when it is started.
    QByteArray old(20000, '\0');
    for (int i = 0; i < old.size(); ++i)
        old[i] = char((i * 91 + 3) & 0xFF);
    old = plausible(old, "Old 0.9");
    board->loadFlash(std::vector<uint8_t>(old.begin(), old.end()));
    board->setLatch(0x02);
    board->setLatch(0x03);

    auto lib = std::make_shared<SimBridgeLibrary>();
    lib->addBridge(QStringLiteral("Orbalo Mini (simulated)"), QStringLiteral("0001"), board);
    VX_SI_USBXpressDev dev(lib, false);
    QVector<qint8> reports;
    QObject::connect(&dev, &VX_SI_USBXpressDev::SIGNAL_FirmwareWriteFinish, [&](qint8 r) { reports.append(r); });
    dev.fillListOfDevice();
    if (dev.openDevice(0) != 1)
        return 10;
    if (c.lineControlStatus)
        lib->injectNext(SiOp::SetLineControl, c.lineControlStatus, 1000000);

    // The old firmware prints for a while; the window takes its text as it comes, so only
    // what arrives after its last look is left in the receive ring when the update starts.
    char byte = 0;
    for (int i = 0; i < 200; ++i) {
        dev.pollOnce();
        while (dev.getRxByte(byte) == 1) {
        }
    }
    dev.SLOT_StartFirmwareUpdate(hexPath);
    int passes = 0;
    while (reports.isEmpty() && passes < kPassBound) {
        dev.pollOnce();
        ++passes;
    }
    for (int i = 0; i < kPassesAfterReport && !reports.isEmpty(); ++i)
        dev.pollOnce();

    const std::vector<uint8_t> flash = board->flash();
    const bool equal = QByteArray(reinterpret_cast<const char *>(flash.data()), image.size()) == image;
    std::printf("%d %d %d\n", passes, int(reports.value(0)), equal ? 1 : 0);
    if (reports.isEmpty())
        return Hang;
    if (reports.size() > 1)
        return DoubleReport;
    if (reports.first() == 1)
        return equal ? TrueSuccess : FalseSuccess;
    return ReportedFailure;
}

struct Tally {
    int cases = 0, reported = 0, trueSuccess = 0, falseSuccess = 0, hangs = 0, crashes = 0, doubles = 0;
    void add(int code, bool crashed)
    {
        ++cases;
        if (crashed || code > DoubleReport) {
            ++crashes;
            return;
        }
        reported += code == TrueSuccess || code == FalseSuccess;
        trueSuccess += code == TrueSuccess;
        falseSuccess += code == FalseSuccess;
        hangs += code == Hang;
        doubles += code == DoubleReport;
    }
};

const char *outcomeName(int code, bool crashed)
{
    if (crashed)
        return "CRASH";
    switch (code) {
    case TrueSuccess: return "success";
    case FalseSuccess: return "FALSE SUCCESS";
    case ReportedFailure: return "failure reported";
    case Hang: return "HANG";
    case DoubleReport: return "TWO REPORTS";
    default: return "CRASH";
    }
}

int runMatrix(const QString &self, bool verbose)
{
    const QVector<FaultCase> cases = faultCases();
    // Each child mostly sleeps in the boot-mode switches, so a few run side by side.
    const int parallel = 6;
    QElapsedTimer wall;
    wall.start();
    QMap<QString, Tally> byGroup;
    QStringList groups;
    Tally total;
    QVector<QProcess *> running;
    QVector<int> runningCase;
    QVector<qint64> startedAt;
    int next = 0;
    int bad = 0;
    while (next < cases.size() || !running.isEmpty()) {
        while (next < cases.size() && running.size() < parallel) {
            auto *p = new QProcess;
            p->setProcessChannelMode(QProcess::SeparateChannels);
            p->start(self, {QStringLiteral("--case"), QString::number(next)});
            running.append(p);
            runningCase.append(next);
            startedAt.append(wall.elapsed());
            ++next;
        }
        for (int i = 0; i < running.size(); ++i) {
            QProcess *p = running[i];
            if (!p->waitForFinished(10) && p->state() != QProcess::NotRunning) {
                if (wall.elapsed() - startedAt[i] < kChildWallBoundMs)
                    continue;
                p->kill();
                p->waitForFinished();
                p->setProperty("hung", true);
            }
            const FaultCase &c = cases[runningCase[i]];
            const bool hung = p->property("hung").toBool();
            const bool crashed = !hung && p->exitStatus() == QProcess::CrashExit;
            const int code = hung ? int(Hang) : p->exitCode();
            if (!groups.contains(c.group))
                groups.append(c.group);
            byGroup[c.group].add(code, crashed);
            total.add(code, crashed);
            const bool wrong = crashed || code == FalseSuccess || code == Hang || code == DoubleReport || code > DoubleReport;
            bad += wrong;
            if (verbose || wrong) {
                QString shown = c.faults.isEmpty() ? QStringLiteral("-") : c.faults;
                if (c.lineControlStatus)
                    shown += QStringLiteral(" line-control status %1").arg(c.lineControlStatus);
                std::printf("  case %3d %-10s %-40s %-18s %s", runningCase[i], qPrintable(c.group),
                            qPrintable(shown + (c.smallImage ? " (4 blocks)" : "")), outcomeName(code, crashed),
                            p->readAllStandardOutput().constData());
                if (!verbose || wrong)
                    std::printf("%s", p->readAllStandardError().left(400).constData());
            }
            delete p;
            running.remove(i);
            runningCase.remove(i);
            startedAt.remove(i);
            --i;
        }
    }
    std::printf("\nfault matrix: %d cases in %.1f s\n", total.cases, double(wall.elapsed()) / 1000.0);
    std::printf("%-10s %6s %9s %8s %8s %6s %8s %8s\n", "group", "cases", "reported", "true", "false",
                "hangs", "crashes", "doubles");
    auto row = [](const char *name, const Tally &t) {
        std::printf("%-10s %6d %9d %8d %8d %6d %8d %8d\n", name, t.cases, t.reported, t.trueSuccess,
                    t.falseSuccess, t.hangs, t.crashes, t.doubles);
    };
    for (const QString &g : groups)
        row(qPrintable(g), byGroup[g]);
    row("total", total);
    std::printf("(reported: successes reported; true: and the flash equals the image; false: reported "
                "with the flash differing, must be 0; hangs: no report within %d passes, must be 0; "
                "crashes: must be 0; doubles: more than one report for one update, must be 0)\n",
                kPassBound);
    return bad == 0 && total.cases >= 200 ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() >= 3 && args[1] == QLatin1String("--case")) {
        const QVector<FaultCase> cases = faultCases();
        const int n = args[2].toInt();
        if (n < 0 || n >= cases.size())
            return 10;
        return runCase(cases[n], args.contains(QStringLiteral("--log")));
    }
    if (args.contains(QStringLiteral("--list"))) {
        const QVector<FaultCase> cases = faultCases();
        for (int i = 0; i < cases.size(); ++i)
            std::printf("%3d %-10s %s%s%s\n", i, qPrintable(cases[i].group), qPrintable(cases[i].faults),
                        cases[i].lineControlStatus ? qPrintable(QStringLiteral(" line-control status %1")
                                                                    .arg(cases[i].lineControlStatus)) : "",
                        cases[i].smallImage ? " (4 blocks)" : "");
        std::printf("%d cases\n", int(cases.size()));
        return 0;
    }
    return runMatrix(app.applicationFilePath(), args.contains(QStringLiteral("--verbose")));
}
