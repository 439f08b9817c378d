#include "flash_cli.h"

#include "flash_commands.h"
#include "flashjob/board_runner.h"
#include "terminal.h"
#include "usbdevice/bridge_library.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QRegularExpression>

#include <cstdio>

namespace {

bool g_Verbose = false;

constexpr const char *kToolHelp =
    "pelmora-flash: program, read back, reset and watch Orbalo Mini boards from a terminal,\n"
    "every board at once.\n"
    "\n"
    "Usage: pelmora-flash COMMAND [options]\n"
    "\n"
    "Commands:\n"
    "  list              the boards the bridge backends see, and whether another program holds them\n"
    "  write FILE        write firmware (Intel HEX, or a raw .bin image) into the chosen boards\n"
    "  read OUT.bin      read a board's flash back into a file\n"
    "  reset             restart the chosen boards into their firmware\n"
    "  monitor           show a board's debug output until Ctrl-C\n"
    "\n"
    "Boards are chosen with --board N (the number `list` shows), --name TEXT (part of the name)\n"
    "or --all; with a single board connected, that one is taken.\n"
    "\n"
    "Exit status: 0 every chosen board done, 1 a board failed, 2 usage or file error,\n"
    "3 no board found, 130 interrupted by Ctrl-C (143 by SIGTERM, 129 by a closed terminal).\n"
    "\n"
    "Bridges: PELMORA_BRIDGE names the backends as for the window (usb,sim by default);\n"
    "PELMORA_SIM_* set up the simulated boards (see the README).\n"
    "\n"
    "pelmora-flash COMMAND --help describes a command.\n";

struct Command {
    const char *name;
    const char *usage;
    const char *description;
    bool selection;  // takes --board / --name
    bool many;       // takes --all
};

const Command kCommands[] = {
    {"list", "list",
     "Lists the boards: number, name as the window lists it, backend, and whether another\n"
     "program holds the bridge.",
     false, false},
    {"write", "write FILE [--board N | --name TEXT | --all] [--no-verify] [--address ADDR]",
     "Writes FILE into the chosen boards, all at once: an Intel HEX file (converted as the\n"
     "window does), or a raw image whose name ends in .bin, placed at 0x08000000 or at\n"
     "--address. Each board is reset into its ROM bootloader, erased, written and read back,\n"
     "then restarted into the new firmware. On a terminal each board has a live line (phase,\n"
     "blocks done of total, time); in a pipe plain lines. A summary table ends the run.\n"
     "Ctrl-C ends every running update as a failure and releases the boards.",
     true, true},
    {"read", "read OUT.bin [--board N | --name TEXT] [--length BYTES] [--address ADDR]",
     "Reads the board's flash through the bootloader's Read Memory command into OUT.bin:\n"
     "the whole 128 KiB from 0x08000000, or --length bytes from --address. Nothing is erased\n"
     "or written; the board is restarted into its firmware afterwards. OUT.bin is replaced\n"
     "only by a complete read.",
     true, false},
    {"reset", "reset [--board N | --name TEXT | --all]", "Restarts the chosen boards into their firmware.", true,
     true},
    {"monitor", "monitor [--board N | --name TEXT] [--tlv]",
     "Shows the board's debug output until Ctrl-C, which leaves the board running. --tlv\n"
     "decodes the board's TLV debug frames. Colours are kept on a terminal and taken out in a\n"
     "pipe or a file.",
     true, false},
};

const Command *findCommand(const QString &name)
{
    for (const Command &command : kCommands)
        if (name == QLatin1String(command.name))
            return &command;
    return nullptr;
}

int usageError(const QString &text)
{
    std::fprintf(stderr, "pelmora-flash: %s (see pelmora-flash --help)\n", qUtf8Printable(text));
    return kFlashUsage;
}

// The program's own log lines belong to the boards' reports; they reach the terminal with
// --verbose. Qt's own warnings always do.
void onLogMessage(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    BoardRunner::attributeLogLine(message);
    if (!g_Verbose && type == QtDebugMsg)
        return;
    static const QRegularExpression kColours(QStringLiteral("\\x1b\\[[0-9;]*m"));
    const QString text = isTerminal(stderr) ? message : QString(message).remove(kColours);
    std::fprintf(stderr, "%s\n", qUtf8Printable(text));
}

} // namespace

int pelmoraFlashMain(int argc, char **argv)
{
    catchInterrupts();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("pelmora-flash"));
    qInstallMessageHandler(onLogMessage);

    QStringList args = QCoreApplication::arguments();
    if (args.size() < 2 || args.at(1) == QLatin1String("--help") || args.at(1) == QLatin1String("-h")
        || args.at(1) == QLatin1String("help")) {
        std::fputs(kToolHelp, stdout);
        return args.size() < 2 ? kFlashUsage : kFlashOk;
    }
    const Command *command = findCommand(args.at(1));
    if (!command)
        return usageError(QStringLiteral("unknown command \"%1\"").arg(args.at(1)));

    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Shows this help."));
    const QCommandLineOption verbose({QStringLiteral("v"), QStringLiteral("verbose")},
                                     QStringLiteral("Writes the diagnostic log and the boards' update messages to stderr."));
    const QCommandLineOption board(QStringLiteral("board"), QStringLiteral("The board numbered N by `list`."),
                                   QStringLiteral("N"));
    const QCommandLineOption name(QStringLiteral("name"), QStringLiteral("Boards whose name contains TEXT (any case)."),
                                  QStringLiteral("TEXT"));
    const QCommandLineOption all(QStringLiteral("all"), QStringLiteral("Every listed board, all at once."));
    const QCommandLineOption noVerify(QStringLiteral("no-verify"), QStringLiteral("Skips the read-back after writing."));
    const QCommandLineOption address(QStringLiteral("address"),
                                     QStringLiteral("Where a raw .bin image goes (default 0x08000000)."),
                                     QStringLiteral("ADDR"));
    const QCommandLineOption tlv(QStringLiteral("tlv"), QStringLiteral("Decodes the board's TLV debug frames."));
    const QCommandLineOption readAddress(QStringLiteral("address"),
                                         QStringLiteral("First flash address read (default 0x08000000)."),
                                         QStringLiteral("ADDR"));
    const QCommandLineOption length(QStringLiteral("length"),
                                    QStringLiteral("Bytes read (default: the rest of the flash)."),
                                    QStringLiteral("BYTES"));
    parser.addOption(help);
    parser.addOption(verbose);
    if (command->selection) {
        parser.addOption(board);
        parser.addOption(name);
    }
    if (command->many)
        parser.addOption(all);
    const QString commandName = QLatin1String(command->name);
    if (commandName == QLatin1String("write")) {
        parser.addOption(noVerify);
        parser.addOption(address);
        parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("Intel HEX file, or a raw image ending in .bin."));
    } else if (commandName == QLatin1String("read")) {
        parser.addOption(readAddress);
        parser.addOption(length);
        parser.addPositionalArgument(QStringLiteral("OUT.bin"), QStringLiteral("File to write the flash's bytes into."));
    } else if (commandName == QLatin1String("monitor")) {
        parser.addOption(tlv);
    }
    parser.setApplicationDescription(QLatin1String(command->description));

    args.removeAt(1);
    if (!parser.parse(args))
        return usageError(parser.errorText());
    if (parser.isSet(help)) {
        // Qt's usage line knows nothing of commands: put the command's own in its place.
        QString text = parser.helpText();
        text = text.mid(text.indexOf(QLatin1Char('\n')) + 1);
        std::printf("Usage: pelmora-flash %s\n%s", command->usage, qUtf8Printable(text));
        return kFlashOk;
    }
    g_Verbose = parser.isSet(verbose);

    CommandContext context;
    context.verbose = g_Verbose;
    if (command->selection) {
        const int chosenWays = int(parser.isSet(board)) + int(parser.isSet(name)) + int(command->many && parser.isSet(all));
        if (chosenWays > 1)
            return usageError(QStringLiteral("choose boards one way: --board, --name or --all"));
        if (parser.isSet(board)) {
            bool ok = false;
            context.choice.number = parser.value(board).toInt(&ok);
            if (!ok || context.choice.number < 1)
                return usageError(QStringLiteral("--board wants a board number from pelmora-flash list"));
        }
        context.choice.name = parser.value(name);
        if (parser.isSet(name) && context.choice.name.isEmpty())
            return usageError(QStringLiteral("--name wants a text"));
        context.choice.all = command->many && parser.isSet(all);
    }

    const QStringList positional = parser.positionalArguments();
    const bool takesFile = commandName == QLatin1String("write") || commandName == QLatin1String("read");
    if (positional.size() != (takesFile ? 1 : 0))
        return usageError(takesFile ? QStringLiteral("%1 wants exactly one file").arg(commandName)
                                    : QStringLiteral("%1 takes no file (\"%2\")").arg(commandName, positional.value(0)));

    if (commandName == QLatin1String("write")) {
        quint32 at = 0x08000000;
        if (parser.isSet(address) && !parseAddress(parser.value(address), &at))
            return usageError(QStringLiteral("--address wants a number such as 0x08004000"));
        const FirmwareFile file = loadFirmwareFile(positional.first(), parser.isSet(address), at);
        if (!file.error.isEmpty()) {
            std::fprintf(stderr, "pelmora-flash: %s\n", qUtf8Printable(file.error));
            return kFlashUsage;
        }
        context.library = defaultBridgeLibrary();
        return runWrite(context, file, !parser.isSet(noVerify));
    }
    if (commandName == QLatin1String("read")) {
        constexpr quint32 kFlashBase = 0x08000000;
        constexpr quint32 kFlashEnd = kFlashBase + 128 * 1024;
        quint32 from = kFlashBase;
        if (parser.isSet(readAddress) && (!parseAddress(parser.value(readAddress), &from) || from < kFlashBase
                                          || from >= kFlashEnd))
            return usageError(QStringLiteral("--address wants a flash address, 0x08000000 to 0x0801ffff"));
        quint32 bytes = kFlashEnd - from;
        if (parser.isSet(length) && (!parseAddress(parser.value(length), &bytes) || bytes == 0 || bytes > kFlashEnd - from))
            return usageError(QStringLiteral("--length wants 1 to %1 bytes from 0x%2")
                                  .arg(kFlashEnd - from)
                                  .arg(from, 8, 16, QLatin1Char('0')));
        // A file that could never be written is found out before the board is read.
        const QFileInfo out(positional.first());
        if (out.isDir() || !QFileInfo(out.absolutePath()).isDir() || !QFileInfo(out.absolutePath()).isWritable()
            || (out.exists() && !out.isWritable()))
            return usageError(QStringLiteral("%1 cannot be written").arg(positional.first()));
        context.library = defaultBridgeLibrary();
        return runRead(context, positional.first(), from, bytes);
    }
    context.library = defaultBridgeLibrary();
    if (commandName == QLatin1String("list"))
        return runList(context);
    if (commandName == QLatin1String("reset"))
        return runReset(context);
    return runMonitor(context, parser.isSet(tlv));
}
