// pelmora-flash driven from outside, as a user's shell or script would, on simulated boards:
// each case runs the tool as a child process with boards of its own (flash files in a folder of
// the case), then looks at the exit code, the summary and the flash of every board.
#include "colour_filter.h"
#include "support/hex_writer.h"
#include "support/update_rig.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {

constexpr int kWaitMs = 120000;
constexpr int kFlashSize = 128 * 1024;

struct Run {
    int exitCode = -1;
    QString out;
    QString err;
};

// One case's boards and files.
class FlashRig {
public:
    FlashRig(int boards, const QStringList &env = {})
    {
        m_Env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"PELMORA_SIM_FAULTS", "PELMORA_SIM_OUTPUT", "PELMORA_VERIFY"})
            m_Env.remove(QLatin1String(name));
        m_Env.insert(QStringLiteral("PELMORA_BRIDGE"), QStringLiteral("sim"));
        m_Env.insert(QStringLiteral("PELMORA_SIM_TIMING"), QStringLiteral("instant"));
        m_Env.insert(QStringLiteral("PELMORA_SIM_BRIDGES"), QString::number(boards));
        m_Env.insert(QStringLiteral("PELMORA_SIM_FLASH"), m_Dir.filePath(QStringLiteral("flash.bin")));
        for (const QString &entry : env)
            m_Env.insert(entry.section(QLatin1Char('='), 0, 0), entry.section(QLatin1Char('='), 1));
    }

    QString file(const QString &name, const QByteArray &bytes) const
    {
        const QString path = m_Dir.filePath(name);
        QFile f(path);
        if (f.open(QIODevice::WriteOnly))
            f.write(bytes);
        return path;
    }
    // The flash of board n (1-based), as its simulated board keeps it.
    QByteArray flash(int n) const
    {
        QFile f(m_Dir.filePath(n == 1 ? QStringLiteral("flash.bin") : QStringLiteral("flash.bin.%1").arg(n)));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    std::unique_ptr<QProcess> start(const QStringList &args) const
    {
        auto p = std::make_unique<QProcess>();
        p->setProcessEnvironment(m_Env);
        if (m_Wrapper.isEmpty())
            p->start(QStringLiteral(PELMORA_FLASH_BINARY), args);
        else
            p->start(m_Wrapper.first(), m_Wrapper.mid(1) + QStringList{QStringLiteral(PELMORA_FLASH_BINARY)} + args);
        return p;
    }
    // The tool runs as COMMAND of this program (pelmora-usbsim ... --).
    void wrapIn(const QStringList &wrapper, const QString &bridge)
    {
        m_Wrapper = wrapper;
        m_Env.insert(QStringLiteral("PELMORA_BRIDGE"), bridge);
    }
    Run run(const QStringList &args) const { return finish(*start(args)); }
    static Run finish(QProcess &p)
    {
        Run r;
        if (p.waitForFinished(kWaitMs) && p.exitStatus() == QProcess::NormalExit)
            r.exitCode = p.exitCode();
        r.out = QString::fromUtf8(p.readAllStandardOutput());
        r.err = QString::fromUtf8(p.readAllStandardError());
        // In the sanitizer builds the tool reports there; a report fails the run whatever
        // its exit code.
        if (r.err.contains(QLatin1String("Sanitizer")) || r.err.contains(QLatin1String("runtime error:")))
            r.exitCode = -2;
        return r;
    }
    // Reads p's standard output until it holds text (kept in *seen).
    static bool waitForOutput(QProcess &p, const QString &text, QString *seen, bool fromStderr = false)
    {
        QElapsedTimer clock;
        clock.start();
        while (!seen->contains(text) && clock.elapsed() < kWaitMs && p.state() != QProcess::NotRunning) {
            p.waitForReadyRead(100);
            *seen += QString::fromUtf8(fromStderr ? p.readAllStandardError() : p.readAllStandardOutput());
        }
        return seen->contains(text);
    }

private:
    QTemporaryDir m_Dir;
    QProcessEnvironment m_Env;
    QStringList m_Wrapper;
};

// The image at offset in an erased flash.
QByteArray flashWith(const QByteArray &image, int offset = 0)
{
    QByteArray flash(kFlashSize, char(0xFF));
    flash.replace(offset, image.size(), image);
    return flash;
}

QString summaryRow(const QString &out, int board)
{
    const QStringList lines = out.split(QLatin1Char('\n'));
    const QString prefix = QStringLiteral("%1 Orbalo Mini (simulated) [0x%2]").arg(board).arg(board, 4, 10, QLatin1Char('0'));
    // The summary comes last, so its row is the last line that starts with the board.
    for (int i = lines.size() - 1; i >= 0; --i)
        if (lines.at(i).startsWith(prefix + QStringLiteral("  ")))
            return lines.at(i);
    return QString();
}

} // namespace

class TestPelmoraFlash : public QObject {
    Q_OBJECT
private slots:
    // One table: the command, the boards and their faults, the exit code, what the summary
    // says per board, and which boards' flash must then hold the image.
    void command_onSimulatedBoards_data()
    {
        QTest::addColumn<int>("boards");
        QTest::addColumn<QStringList>("env");
        QTest::addColumn<QString>("fileName");  // written as HEX, or raw for .bin, or "junk"
        QTest::addColumn<QStringList>("args");  // FILE stands for the file's path
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("rows");    // "n:word" in the summary row of board n
        QTest::addColumn<QList<int>>("written");  // boards whose flash holds the image
        QTest::addColumn<int>("offset");          // where in the flash the image starts
        QTest::addColumn<QString>("message");     // in stdout or stderr

        const QStringList write{QStringLiteral("write"), QStringLiteral("FILE")};
        QTest::newRow("one board, HEX") << 1 << QStringList() << "fw.hex" << write << 0
                                        << QStringList{"1:verified"} << QList<int>{1} << 0 << "";
        QTest::newRow("--all, board 3 mute") << 4 << QStringList{"PELMORA_SIM_FAULTS_3=mute"} << "fw.hex"
                                             << write + QStringList{"--all"} << 1
                                             << QStringList{"1:verified", "2:verified", "3:FAILED", "4:verified"}
                                             << QList<int>{1, 2, 4} << 0 << "does not answer";
        QTest::newRow("block NACKed") << 1 << QStringList{"PELMORA_SIM_FAULTS=nack=data:3"} << "fw.hex" << write << 1
                                      << QStringList{"1:FAILED"} << QList<int>() << 0 << "refused a command with NACK";
        QTest::newRow("--board 2 of 3, raw at 0x08004000")
            << 3 << QStringList() << "fw.bin" << write + QStringList{"--board", "2", "--address", "0x08004000", "--no-verify"}
            << 0 << QStringList{"2:written"} << QList<int>{2} << 0x4000 << "";
        QTest::newRow("not HEX") << 1 << QStringList() << "junk" << write << 2 << QStringList() << QList<int>()
                                 << 0 << "not an Intel HEX file";
        QTest::newRow("no boards") << 0 << QStringList() << "fw.hex" << write << 3 << QStringList() << QList<int>()
                                   << 0 << "no board found";
        QTest::newRow("two boards, none chosen") << 2 << QStringList() << "fw.hex" << write << 2 << QStringList()
                                                 << QList<int>() << 0 << "--all";
        QTest::newRow("--board 5 of 2") << 2 << QStringList() << "fw.hex" << write + QStringList{"--board", "5"} << 3
                                        << QStringList() << QList<int>() << 0 << "no board 5";
        QTest::newRow("reset --name, any case") << 3 << QStringList() << "" << QStringList{"reset", "--name", "0X0002"}
                                                << 0 << QStringList{"2:reset"} << QList<int>() << 0 << "";
        QTest::newRow("reset --all") << 2 << QStringList() << "" << QStringList{"reset", "--all"} << 0
                                     << QStringList{"1:reset", "2:reset"} << QList<int>() << 0 << "";
    }
    void command_onSimulatedBoards()
    {
        QFETCH(int, boards);
        QFETCH(QStringList, env);
        QFETCH(QString, fileName);
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QFETCH(QStringList, rows);
        QFETCH(QList<int>, written);
        QFETCH(int, offset);
        QFETCH(QString, message);

        FlashRig rig(boards, env);
        const QByteArray image = plausibleImage(3000, "Flash 1.0");
        QString path;
        if (fileName == QLatin1String("junk"))
            path = rig.file(QStringLiteral("fw.hex"), QByteArray("this is no HEX file\n").repeated(4));
        else if (fileName.endsWith(QLatin1String(".bin")))
            path = rig.file(fileName, image);
        else if (!fileName.isEmpty())
            path = rig.file(fileName, toIntelHex(image));
        args.replaceInStrings(QStringLiteral("FILE"), path);

        const Run r = rig.run(args);
        const QString all = r.out + r.err;
        QVERIFY2(r.exitCode == exitCode, qPrintable(QStringLiteral("exit %1\n%2").arg(r.exitCode).arg(all)));
        for (const QString &row : rows) {
            const int board = row.section(QLatin1Char(':'), 0, 0).toInt();
            const QString line = summaryRow(r.out, board);
            QVERIFY2(line.contains(row.section(QLatin1Char(':'), 1)), qPrintable(all));
        }
        if (!message.isEmpty())
            QVERIFY2(all.contains(message), qPrintable(all));
        for (int n = 1; n <= boards; ++n) {
            const bool wanted = written.contains(n);
            QVERIFY2((rig.flash(n) == flashWith(image, offset)) == wanted, qPrintable(QStringLiteral("board %1").arg(n)));
        }
    }

    // What was written comes back through read, byte for byte; a read that fails half-way (the
    // board falls silent at its third Read Memory) leaves the file that was there.
    void writeThenRead_givesBackWhatWasWritten()
    {
        FlashRig rig(2, {QStringLiteral("PELMORA_SIM_FAULTS_1=mute=read:3")});
        const QByteArray image = plausibleImage(5000, "Back 1.0");
        const QString bin = rig.file(QStringLiteral("app.bin"), image);
        const Run write = rig.run({QStringLiteral("write"), bin, QStringLiteral("--board"), QStringLiteral("2"),
                                   QStringLiteral("--address"), QStringLiteral("0x08004000")});
        QVERIFY2(write.exitCode == 0 && summaryRow(write.out, 2).contains(QLatin1String("verified")),
                 qPrintable(write.out + write.err));

        const QString part = rig.file(QStringLiteral("part.bin"), QByteArray());
        const Run readPart = rig.run({QStringLiteral("read"), part, QStringLiteral("--board"), QStringLiteral("2"),
                                      QStringLiteral("--address"), QStringLiteral("0x08004000"), QStringLiteral("--length"),
                                      QString::number(image.size())});
        QVERIFY2(readPart.exitCode == 0, qPrintable(readPart.out + readPart.err));
        QFile partFile(part);
        QVERIFY(partFile.open(QIODevice::ReadOnly));
        QCOMPARE(partFile.readAll(), image);

        const QString whole = rig.file(QStringLiteral("whole.bin"), QByteArray());
        QCOMPARE(rig.run({QStringLiteral("read"), whole, QStringLiteral("--board"), QStringLiteral("2")}).exitCode, 0);
        QFile wholeFile(whole);
        QVERIFY(wholeFile.open(QIODevice::ReadOnly));
        QCOMPARE(wholeFile.readAll(), flashWith(image, 0x4000));

        const QString kept = rig.file(QStringLiteral("kept.bin"), "the file before");
        const Run failed = rig.run({QStringLiteral("read"), kept, QStringLiteral("--board"), QStringLiteral("1")});
        QVERIFY2(failed.exitCode == 1 && summaryRow(failed.out, 1).contains(QLatin1String("FAILED")),
                 qPrintable(failed.out + failed.err));
        QFile keptFile(kept);
        QVERIFY(keptFile.open(QIODevice::ReadOnly));
        QCOMPARE(keptFile.readAll(), QByteArray("the file before"));
    }

    // The monitor in a pipe: the board's debug text as it comes, without colour sequences, TLV
    // frames decoded when asked; Ctrl-C ends it with 0, and the board was not reset for it (a
    // reset would show the firmware's banner).
    void monitor_showsTheBoardsText_plainInAPipe_tlvDecoded_data()
    {
        QTest::addColumn<QString>("output");
        QTest::addColumn<QStringList>("args");
        QTest::newRow("text") << "text" << QStringList{"monitor"};
        QTest::newRow("tlv") << "tlv" << QStringList{"monitor", "--tlv"};
    }
    void monitor_showsTheBoardsText_plainInAPipe_tlvDecoded()
    {
        QFETCH(QString, output);
        QFETCH(QStringList, args);
        FlashRig rig(1, {QStringLiteral("PELMORA_SIM_OUTPUT=") + output});
        rig.file(QStringLiteral("flash.bin"), flashWith(plausibleImage(2048, "Watch 1.0")));
        auto p = rig.start(args);
        QString seen;
        QVERIFY2(FlashRig::waitForOutput(*p, QStringLiteral("heartbeat 1:"), &seen), qPrintable(seen));
        ::kill(pid_t(p->processId()), SIGINT);
        const Run r = FlashRig::finish(*p);
        const QString out = seen + r.out;
        QVERIFY2(r.exitCode == 0, qPrintable(out + r.err));
        QVERIFY2(!out.contains(QChar(0x1B)) && !out.contains(QChar(QChar::ReplacementCharacter)) && !out.contains(QLatin1String("booted")),
                 qPrintable(out));
    }

    // Ctrl-C while the boards are being written: every update ends as a failure, the tool
    // says so and exits 130, and the bridges are free again.
    void interruptDuringWrite_failsEveryUpdateAndReleasesTheBridges()
    {
        FlashRig rig(2, {QStringLiteral("PELMORA_SIM_TIMING=realtime")});
        const QByteArray image = plausibleImage(64 * 1024, "Long 1.0");
        const QString path = rig.file(QStringLiteral("long.hex"), toIntelHex(image));
        auto p = rig.start({QStringLiteral("write"), path, QStringLiteral("--all")});
        QString seen;
        QVERIFY2(FlashRig::waitForOutput(*p, QStringLiteral(": write "), &seen), qPrintable(seen));
        ::kill(pid_t(p->processId()), SIGINT);
        const Run r = FlashRig::finish(*p);
        const QString out = seen + r.out;
        QVERIFY2(r.exitCode == 130, qPrintable(out + r.err));
        QVERIFY2(summaryRow(out, 1).contains(QLatin1String("INTERRUPTED")), qPrintable(out));
        QVERIFY2(summaryRow(out, 2).contains(QLatin1String("INTERRUPTED")), qPrintable(out));
        QVERIFY(rig.flash(1) != flashWith(image));
        const Run list = rig.run({QStringLiteral("list")});
        QCOMPARE(list.out.count(QLatin1String(" free")), 2);
    }

#if defined(PELMORA_USBSIM_BINARY)
    // The same tool over its libusb backend, on emulated CP210x bridges: two boards written at
    // once; then a Ctrl-C in the middle of a write gives every bridge back to the kernel's
    // serial driver.
    void overUsb_writesEveryBridge_andCtrlCGivesThemBack()
    {
        FlashRig rig(2);
        rig.wrapIn({QStringLiteral(PELMORA_USBSIM_BINARY), QStringLiteral("--bridges"), QStringLiteral("2"),
                    QStringLiteral("--")},
                   QStringLiteral("usb"));
        const QByteArray image = plausibleImage(3000, "Usb 1.0");
        const Run write = rig.run({QStringLiteral("write"), rig.file(QStringLiteral("fw.hex"), toIntelHex(image)),
                                   QStringLiteral("--all")});
        QVERIFY2(write.exitCode == 0, qPrintable(write.out + write.err));
        QVERIFY2(write.out.contains(QLatin1String("1 Orbalo Mini [0x0001]  verified"))
                     && write.out.contains(QLatin1String("2 Orbalo Mini [0x0002]  verified")),
                 qPrintable(write.out));
        QVERIFY(rig.flash(1) == flashWith(image) && rig.flash(2) == flashWith(image));

        const QString longer = rig.file(QStringLiteral("long.hex"), toIntelHex(plausibleImage(64 * 1024, "Usb 2.0")));
        auto p = rig.start({QStringLiteral("write"), longer, QStringLiteral("--all")});
        QString seen;
        QVERIFY2(FlashRig::waitForOutput(*p, QStringLiteral(": write "), &seen), qPrintable(seen));
        ::kill(pid_t(p->processId()), SIGINT);
        const Run r = FlashRig::finish(*p);
        QVERIFY2(r.exitCode == 130, qPrintable(seen + r.out + r.err));
        for (const char *bridge : {"0001", "0002"}) {
            const QString given = QStringLiteral("bridge %1: plugged, UART disabled, interface released, kernel driver bound")
                                      .arg(QLatin1String(bridge));
            QVERIFY2(r.err.contains(given), qPrintable(r.err));
        }
    }
#endif

    // A board that another program has open is named as held, with the holder, and a write to
    // it fails clearly without touching it.
    void boardHeldByAnotherProgram_isRefusedNamingTheHolder()
    {
        FlashRig rig(1);
        auto holder = rig.start({QStringLiteral("monitor")});
        QString seen;
        QVERIFY(FlashRig::waitForOutput(*holder, QStringLiteral("watching"), &seen, true));
        const QString pid = QString::number(holder->processId());
        const QString byHolder = QStringLiteral("pelmora-flash (pid %1)").arg(pid);

        const Run list = rig.run({QStringLiteral("list")});
        QVERIFY2(list.exitCode == 0 && list.out.contains(QStringLiteral("held by ") + byHolder), qPrintable(list.out));
        const QString path = rig.file(QStringLiteral("fw.hex"), toIntelHex(plausibleImage(1024, "Held")));
        const Run write = rig.run({QStringLiteral("write"), path});
        QVERIFY2(write.exitCode == 1, qPrintable(write.out + write.err));
        QVERIFY2(summaryRow(write.out, 1).contains(QStringLiteral("another program holds the bridge: ") + byHolder),
                 qPrintable(write.out));

        ::kill(pid_t(holder->processId()), SIGINT);
        QCOMPARE(FlashRig::finish(*holder).exitCode, 0);
    }

    // The monitor in a pipe: the board's text without its colour sequences, cut anywhere.
    void colourFilter_takesSequencesOutWhereverTheStreamIsCut()
    {
        const QByteArray input("\x1b[31mred\x1b[0m plain \x1b[1;32mbold green\x1b[0m\r\n\x1b]0;title\x07" "end");
        const QByteArray expected("red plain bold green\r\nend");
        for (int cut = 0; cut <= input.size(); ++cut) {
            ColourFilter filter;
            QByteArray out = filter.filter(input.left(cut));
            out += filter.filter(input.mid(cut));
            QVERIFY2(out == expected, qPrintable(QStringLiteral("cut at %1: %2").arg(cut).arg(QString::fromLatin1(out))));
        }
    }
};

QTEST_GUILESS_MAIN(TestPelmoraFlash)
#include "test_pelmora_flash.moc"
