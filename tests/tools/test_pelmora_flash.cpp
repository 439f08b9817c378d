// pelmora-flash run as a child process, as a user's shell would, on simulated boards of each
// case's own; then its exit code, its summary and every board's flash.
#include "colour_filter.h"
#include "support/hex_writer.h"
#include "support/test_files.h"
#include "support/update_rig.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {

constexpr int kWaitMs = 120000;

struct Run {
    int exitCode = -1;
    QString out, err;
};

// One case's boards and files; the tool runs alone or as COMMAND of a wrapper.
class FlashRig {
public:
    explicit FlashRig(int boards, const QStringList &env = {}, const QStringList &wrapper = {}) : m_Wrapper(wrapper)
    {
        m_Env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"PELMORA_SIM_FAULTS", "PELMORA_SIM_OUTPUT", "PELMORA_VERIFY"})
            m_Env.remove(QLatin1String(name));
        const QStringList fixed{QStringLiteral("PELMORA_BRIDGE=sim"), QStringLiteral("PELMORA_SIM_TIMING=instant"),
                                QStringLiteral("PELMORA_SIM_BRIDGES=%1").arg(boards),
                                QStringLiteral("PELMORA_SIM_FLASH=") + path(1)};
        for (const QString &entry : fixed + env)
            m_Env.insert(entry.section(QLatin1Char('='), 0, 0), entry.section(QLatin1Char('='), 1));
    }
    // Board n's flash file (1-based), as its simulated board keeps it.
    QString path(int n) const { return m_Dir.filePath(n == 1 ? QStringLiteral("flash.bin") : QStringLiteral("flash.bin.%1").arg(n)); }
    QString file(const QString &name, const QByteArray &bytes) const
    {
        writeFile(m_Dir.filePath(name), bytes);
        return m_Dir.filePath(name);
    }
    std::unique_ptr<QProcess> start(const QStringList &args) const
    {
        auto p = std::make_unique<QProcess>();
        p->setProcessEnvironment(m_Env);
        const QStringList command = m_Wrapper + QStringList{QStringLiteral(PELMORA_FLASH_BINARY)} + args;
        p->start(command.first(), command.mid(1));
        return p;
    }
    Run run(const QStringList &args) const { return finish(*start(args)); }
    static Run finish(QProcess &p)
    {
        Run r;
        if (p.waitForFinished(kWaitMs) && p.exitStatus() == QProcess::NormalExit)
            r.exitCode = p.exitCode();
        r.out = QString::fromUtf8(p.readAllStandardOutput());
        r.err = QString::fromUtf8(p.readAllStandardError());
        // In the sanitizer builds a report fails the run whatever its exit code.
        if (r.err.contains(QLatin1String("Sanitizer")) || r.err.contains(QLatin1String("runtime error:")))
            r.exitCode = -2;
        return r;
    }
    // Reads p's output until it holds text (kept in *seen).
    static bool waitFor(QProcess &p, const QString &text, QString *seen, bool fromStderr = false)
    {
        QElapsedTimer clock;
        clock.start();
        while (!seen->contains(text) && clock.elapsed() < kWaitMs && p.state() != QProcess::NotRunning) {
            p.waitForReadyRead(100);
            *seen += QString::fromUtf8(fromStderr ? p.readAllStandardError() : p.readAllStandardOutput());
        }
        return seen->contains(text);
    }
    // Ctrl-C to a tool once its output holds text (a write under way, a monitor watching).
    static Run interrupt(QProcess &p, const QString &text)
    {
        QString seen;
        const bool came = waitFor(p, text, &seen);
        ::kill(pid_t(p.processId()), SIGINT);
        Run r = finish(p);
        r.out.prepend(seen);
        if (!came)
            r.exitCode = -3;
        return r;
    }

private:
    QTemporaryDir m_Dir;
    QProcessEnvironment m_Env;
    QStringList m_Wrapper;
};

// The image at offset in an erased flash.
QByteArray flashWith(const QByteArray &image, int offset = 0)
{
    return QByteArray(128 * 1024, char(0xFF)).replace(offset, image.size(), image);
}

QByteArray contents(const QString &path) { return readFile(path, "(none)"); }

// The summary comes last, so a board's row is the last line that starts with it.
QString summaryRow(const QString &out, int board, const QString &bridge)
{
    const QString prefix = QStringLiteral("%1 %2 [0x%3]  ").arg(board).arg(bridge).arg(board, 4, 10, QLatin1Char('0'));
    const QStringList rows = out.split(QLatin1Char('\n')).filter(QRegularExpression(QStringLiteral("^") + QRegularExpression::escape(prefix)));
    return rows.isEmpty() ? QString() : rows.last();
}

struct Case {
    const char *name;
    int boards;
    const char *env;          // NAME=VALUE ...; PELMORA_BRIDGE=usb runs the tool in pelmora-usbsim
    int loaded;               // every board holds the image at this offset beforehand (-1: erased)
    const char *file;         // FILE: *.hex the image as HEX, *.bin raw, "junk", "out" read into
    const char *args;
    const char *interruptAt;  // Ctrl-C once the output holds this
    int exitCode;
    bool held;                // another pelmora-flash watches board 1 meanwhile (PID: its pid)
    const char *rows;         // "n:text|..." in the summary row of board n
    const char *written;      // boards whose flash then holds the image at offset
    int offset;
    const char *said;         // "|"-separated texts in stdout or stderr; "!text": not in stdout
    const char *readBack;     // what the file read into holds: image, flash, kept
};

const Case kCases[] = {
    {"one board, HEX, unverified", 1, "", -1, "fw.hex", "write FILE --no-verify", "", 0, false, "1:written", "1", 0, "", ""},
    {"--all, board 3 mute", 4, "PELMORA_SIM_FAULTS_3=mute", -1, "fw.hex", "write FILE --all", "", 1, false,
     "1:verified|2:verified|3:FAILED|4:verified", "124", 0, "does not answer", ""},
    {"block NACKed", 1, "PELMORA_SIM_FAULTS=nack=data:3", -1, "fw.hex", "write FILE", "", 1, false, "1:FAILED", "", 0,
     "refused a command with NACK", ""},
    {"--board 2 of 3, raw at 0x08004000", 3, "", -1, "fw.bin", "write FILE --board 2 --address 0x08004000", "", 0, false,
     "2:verified", "2", 0x4000, "", ""},
    {"not HEX", 1, "", -1, "junk", "write FILE", "", 2, false, "", "", 0, "not an Intel HEX file", ""},
    {"no boards", 0, "", -1, "fw.hex", "write FILE", "", 3, false, "", "", 0, "no board found", ""},
    {"two boards, none chosen", 2, "", -1, "fw.hex", "write FILE", "", 2, false, "", "", 0, "--all", ""},
    {"--board 5 of 2", 2, "", -1, "fw.hex", "write FILE --board 5", "", 3, false, "", "", 0, "no board 5", ""},
    {"reset --name, any case", 3, "", -1, "", "reset --name 0X0002", "", 0, false, "2:reset", "", 0, "", ""},
    {"reset --all", 2, "", -1, "", "reset --all", "", 0, false, "1:reset|2:reset", "", 0, "", ""},
    {"read --address --length", 2, "", 0x4000, "out", "read FILE --board 2 --address 0x08004000 --length 3000", "", 0, false,
     "", "12", 0x4000, "", "image"},
    {"read the whole flash", 2, "", 0x4000, "out", "read FILE --board 2", "", 0, false, "", "12", 0x4000, "", "flash"},
    // The board falls silent at its third Read Memory: the file that was there stays.
    {"read fails half-way", 2, "PELMORA_SIM_FAULTS_2=mute=read:3", 0x4000, "out", "read FILE --board 2", "", 1, false,
     "2:FAILED", "12", 0x4000, "", "kept"},
    // The board's text as it comes, without colour sequences, TLV frames decoded when asked;
    // Ctrl-C ends it with 0, and the board was not reset for it (that would show its banner).
    {"monitor", 1, "PELMORA_SIM_OUTPUT=text", 0, "", "monitor", "heartbeat 1:", 0, false, "", "1", 0,
     "!\x1b|!\xef\xbf\xbd|!booted", ""},
    {"monitor --tlv", 1, "PELMORA_SIM_OUTPUT=tlv", 0, "", "monitor --tlv", "heartbeat 1:", 0, false, "", "1", 0,
     "!\x1b|!\xef\xbf\xbd|!booted", ""},
    // Ctrl-C while the boards are written: every update fails, exit 130, the bridges are free.
    {"Ctrl-C during write", 2, "PELMORA_SIM_TIMING=realtime", -1, "fw.hex", "write FILE --all", ": write ", 130, false,
     "1:INTERRUPTED|2:INTERRUPTED", "", 0, "", ""},
    // Over the libusb backend on emulated CP210x bridges; a Ctrl-C gives every bridge back to
    // the kernel's serial driver.
    {"usb: --all", 2, "PELMORA_BRIDGE=usb", -1, "fw.hex", "write FILE --all", "", 0, false, "1:verified|2:verified", "12", 0,
     "", ""},
    {"usb: Ctrl-C during write", 2, "PELMORA_BRIDGE=usb", -1, "fw.hex", "write FILE --all", ": write ", 130, false,
     "1:INTERRUPTED|2:INTERRUPTED", "", 0,
     "bridge 0001: plugged, UART disabled, interface released, kernel driver bound|bridge 0002: plugged, UART "
     "disabled, interface released, kernel driver bound", ""},
    // A board that another program has open is named as held, with the holder, and a write to
    // it fails clearly without touching it.
    {"list, a board held", 1, "", -1, "", "list", "", 0, true, "", "", 0, "held by pelmora-flash (pid PID)", ""},
    {"write, the board held", 1, "", -1, "fw.hex", "write FILE", "", 1, true,
     "1:another program holds the bridge: pelmora-flash (pid PID)", "", 0, "", ""},
};

} // namespace

class TestPelmoraFlash : public QObject {
    Q_OBJECT
private slots:
    void command_onSimulatedBoards_data()
    {
        QTest::addColumn<int>("i");
        for (int i = 0; i < int(std::size(kCases)); ++i)
            QTest::newRow(kCases[i].name) << i;
    }
    void command_onSimulatedBoards()
    {
        QFETCH(int, i);
        const Case &c = kCases[i];
        const QStringList env = QString::fromUtf8(c.env).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        const bool usb = env.contains(QStringLiteral("PELMORA_BRIDGE=usb"));
        QStringList wrapper;
#if defined(PELMORA_USBSIM_BINARY)
        wrapper = QStringList{QStringLiteral(PELMORA_USBSIM_BINARY), QStringLiteral("--bridges"), QString::number(c.boards),
                              QStringLiteral("--")};
#endif
        if (usb && wrapper.isEmpty())
            QSKIP("built without pelmora-usbsim");
        FlashRig rig(c.boards, env, usb ? wrapper : QStringList());
        const QByteArray image = plausibleImage(*c.interruptAt ? 64 * 1024 : 3000, "Flash 1.0");
        for (int n = 1; c.loaded >= 0 && n <= c.boards; ++n)
            rig.file(QFileInfo(rig.path(n)).fileName(), flashWith(image, c.loaded));
        const QString file = QString::fromUtf8(c.file);
        const QString path = file.isEmpty()  ? QString()
                             : file == QLatin1String("junk") ? rig.file(QStringLiteral("fw.hex"), QByteArray("this is no HEX file\n").repeated(4))
                             : file == QLatin1String("out") ? rig.file(file, "the file before")
                                              : rig.file(file, file.endsWith(QLatin1String(".bin")) ? image : toIntelHex(image));
        QStringList args = QString::fromUtf8(c.args).split(QLatin1Char(' '));
        args.replaceInStrings(QStringLiteral("FILE"), path);

        std::unique_ptr<QProcess> holder;
        QString pid;
        if (c.held) {
            holder = rig.start({QStringLiteral("monitor")});
            QVERIFY(FlashRig::waitFor(*holder, QStringLiteral("watching"), &pid, true));
            pid = QString::number(holder->processId());
        }
        const Run r = *c.interruptAt ? FlashRig::interrupt(*rig.start(args), QString::fromUtf8(c.interruptAt)) : rig.run(args);
        const QString all = r.out + r.err;
        QVERIFY2(r.exitCode == c.exitCode, qPrintable(QStringLiteral("exit %1\n%2").arg(r.exitCode).arg(all)));
        const QString bridge = usb ? QStringLiteral("Orbalo Mini") : QStringLiteral("Orbalo Mini (simulated)");
        for (const QString &row : QString::fromUtf8(c.rows).replace(QLatin1String("PID"), pid).split('|', Qt::SkipEmptyParts))
            QVERIFY2(summaryRow(r.out, row.section(QLatin1Char(':'), 0, 0).toInt(), bridge).contains(row.section(QLatin1Char(':'), 1)),
                     qPrintable(all));
        for (const QString &text : QString::fromUtf8(c.said).replace(QLatin1String("PID"), pid).split('|', Qt::SkipEmptyParts))
            QVERIFY2(text.startsWith('!') ? !r.out.contains(text.mid(1)) : all.contains(text), qPrintable(all));
        for (int n = 1; n <= c.boards; ++n)
            QVERIFY2((contents(rig.path(n)) == flashWith(image, c.offset)) == QByteArray(c.written).contains(char('0' + n)),
                     qPrintable(QStringLiteral("board %1").arg(n)));
        const QByteArray readBack(c.readBack);
        if (!readBack.isEmpty())
            QCOMPARE(contents(path), readBack == "image" ? image : readBack == "flash" ? flashWith(image, c.loaded)
                                                                                       : QByteArray("the file before"));
        if (holder)
            QCOMPARE(FlashRig::interrupt(*holder, QString()).exitCode, 0);
        // Whatever the ending, the tool gives every bridge back.
        QCOMPARE(rig.run({QStringLiteral("list")}).out.count(QLatin1String(" free")), c.boards);
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
