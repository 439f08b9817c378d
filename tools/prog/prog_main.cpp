// pelmora-prog: asks a running loader to write a HEX file into the board and reports the result.

#include "prog_session.h"

#include "sharedmem/shared_mem_key.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <csignal>
#include <cstdio>

namespace {

void onStopSignal(int)
{
    g_StopRequested = 1;
}

constexpr const char *kDescription =
    "Asks the running loader to program FILE.hex into the connected board and waits for the result.\n"
    "\n"
    "Exit status: 0 firmware written, 1 programming failed, 2 usage or path error,\n"
    "3 time-out (the request is withdrawn), 4 shared memory not available,\n"
    "130 interrupted (the request is withdrawn).\n"
    "The shared-memory key is taken from --key, else PELMORA_SHM_KEY, else the loader's default.";

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("pelmora-prog"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(kDescription));
    parser.addHelpOption();
    const QCommandLineOption status(QStringLiteral("status"),
                                    QStringLiteral("Show whether a loader runs, a board is connected, and its bridge."));
    const QCommandLineOption timeout(QStringLiteral("timeout"), QStringLiteral("Give up after SECONDS (default 120)."),
                                     QStringLiteral("SECONDS"), QStringLiteral("120"));
    const QCommandLineOption key(QStringLiteral("key"), QStringLiteral("Shared-memory key."), QStringLiteral("KEY"),
                                 pelmoraSharedMemoryKey());
    parser.addOptions({status, timeout, key});
    parser.addPositionalArgument(QStringLiteral("FILE.hex"), QStringLiteral("Intel HEX file to program."));

    if (!parser.parse(QCoreApplication::arguments())) {
        std::fprintf(stderr, "pelmora-prog: %s\n", qUtf8Printable(parser.errorText()));
        return kExitUsage;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        std::printf("%s", qUtf8Printable(parser.helpText()));
        return 0;
    }
    const QString keyText = parser.value(key);
    if (keyText.isEmpty()) {
        std::fprintf(stderr, "pelmora-prog: empty key\n");
        return kExitUsage;
    }
    if (parser.isSet(status))
        return runStatus(keyText);

    bool ok = false;
    const double seconds = parser.value(timeout).toDouble(&ok);
    if (!ok || !(seconds > 0) || seconds > 86400.0) {
        std::fprintf(stderr, "pelmora-prog: --timeout wants a number of seconds above 0\n");
        return kExitUsage;
    }
    const QStringList files = parser.positionalArguments();
    if (files.size() != 1) {
        std::fprintf(stderr, "pelmora-prog: name exactly one FILE.hex (see --help)\n");
        return kExitUsage;
    }

    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
    return runProgramming(keyText, files.first(), seconds);
}
