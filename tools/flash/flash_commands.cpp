#include "flash_commands.h"

#include "colour_filter.h"
#include "flash_cli.h"
#include "flashjob/board_runner.h"
#include "flashjob/image_output.h"
#include "progress_view.h"
#include "terminal.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>
#include <functional>

namespace {

void printError(const QString &text)
{
    std::fprintf(stderr, "pelmora-flash: %s\n", qUtf8Printable(text));
}

QString noBoardText()
{
    return QStringLiteral("no board found (bridge backends: %1)")
        .arg(qEnvironmentVariableIsEmpty("PELMORA_BRIDGE") ? QStringLiteral("usb,sim")
                                                           : qEnvironmentVariable("PELMORA_BRIDGE"));
}

// Lists and chooses; prints why when nothing is left to do.
ChosenBoards listAndChoose(const CommandContext &context, bool many)
{
    const ChosenBoards chosen = chooseBoards(listBoards(context.library), context.choice, many);
    if (chosen.exitCode != kFlashOk)
        printError(chosen.error);
    return chosen;
}

// Runs one job on every board at once, shows its progress and the summary, and gives the
// exit code: 128 + the signal after Ctrl-C and the like, 1 when any board failed, else 0.
// finished, when given, takes each runner that succeeded before the summary is printed and
// may turn it into a failure (BoardRunner::failAfterwards).
int runOnBoards(const CommandContext &context, const QList<ListedBoard> &boards, const QString &successWord,
                const std::function<void(BoardRunner &)> &start,
                const std::function<void(BoardRunner &)> &finished = nullptr)
{
    QList<BoardRow> rows;
    QList<BoardRunner *> runners;
    for (const ListedBoard &board : boards) {
        auto *runner = new BoardRunner(context.library, board.name, QCoreApplication::instance());
        runners << runner;
        rows << BoardRow{QStringLiteral("%1 %2").arg(board.number).arg(board.name), runner};
    }
    // Lines are redrawn by moving the cursor up over them, which cannot go above the screen.
    const bool live = isTerminal(stdout) && !context.verbose && rows.size() < terminalRows();
    ProgressView view(stdout, live, rows);
    int interruptedBy = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        if (const int signal = takeInterrupt()) {
            interruptedBy = interruptedBy ? interruptedBy : signal;
            for (BoardRunner *runner : qAsConst(runners))
                runner->interrupt();
        }
        view.update();
        bool done = true;
        for (BoardRunner *runner : qAsConst(runners))
            done = done && runner->isDone();
        if (done)
            QCoreApplication::quit();
    });
    for (BoardRunner *runner : qAsConst(runners))
        start(*runner);
    // A terminal line is redrawn ten times a second; a pipe gets lines only when they change.
    tick.start(100);
    QCoreApplication::exec();
    tick.stop();
    view.close();
    int code = kFlashOk;
    for (BoardRunner *runner : qAsConst(runners)) {
        if (context.verbose)
            std::fprintf(stderr, "--- %s\n%s", qUtf8Printable(runner->boardName()), qUtf8Printable(runner->consoleText()));
        if (finished && runner->state() == BoardRunner::State::Succeeded)
            finished(*runner);
        if (runner->state() != BoardRunner::State::Succeeded)
            code = kFlashFailed;
    }
    std::fputs(qUtf8Printable(QLatin1Char('\n') + summaryTable(rows, successWord)), stdout);
    std::fflush(stdout);
    qDeleteAll(runners);
    // 130 for Ctrl-C, as shells report a program ended by SIGINT; 128 + the signal otherwise.
    return interruptedBy ? 128 + interruptedBy : code;
}

} // namespace

ChosenBoards chooseBoards(const QList<ListedBoard> &listed, const BoardChoice &choice, bool many)
{
    ChosenBoards chosen;
    if (listed.isEmpty()) {
        chosen.exitCode = kFlashNoBoard;
        chosen.error = noBoardText();
        return chosen;
    }
    if (choice.all) {
        chosen.boards = listed;
        return chosen;
    }
    if (choice.number > 0) {
        if (choice.number > listed.size()) {
            chosen.exitCode = kFlashNoBoard;
            chosen.error = QStringLiteral("there is no board %1 (%2 found; see pelmora-flash list)")
                               .arg(choice.number)
                               .arg(listed.size());
        } else {
            chosen.boards << listed.at(choice.number - 1);
        }
        return chosen;
    }
    if (!choice.name.isEmpty()) {
        for (const ListedBoard &board : listed)
            if (board.name.contains(choice.name, Qt::CaseInsensitive))
                chosen.boards << board;
        if (chosen.boards.isEmpty()) {
            chosen.exitCode = kFlashNoBoard;
            chosen.error = QStringLiteral("no board's name contains \"%1\" (see pelmora-flash list)").arg(choice.name);
        } else if (chosen.boards.size() > 1 && !many) {
            chosen.exitCode = kFlashUsage;
            chosen.error = QStringLiteral("%1 boards' names contain \"%2\"; choose one with --board N")
                               .arg(chosen.boards.size())
                               .arg(choice.name);
            chosen.boards.clear();
        }
        return chosen;
    }
    if (listed.size() > 1) {
        chosen.exitCode = kFlashUsage;
        chosen.error = QStringLiteral("%1 boards found; choose with --board N, --name TEXT%2 (see pelmora-flash list)")
                           .arg(listed.size())
                           .arg(many ? QStringLiteral(" or --all") : QString());
        return chosen;
    }
    chosen.boards = listed;
    return chosen;
}

int runList(const CommandContext &context)
{
    const QList<ListedBoard> boards = listBoards(context.library);
    if (boards.isEmpty()) {
        printError(noBoardText());
        return kFlashNoBoard;
    }
    int nameWidth = 5;
    for (const ListedBoard &board : boards)
        nameWidth = qMax(nameWidth, board.name.size());
    QString text = QStringLiteral("%1  %2  %3  %4\n")
                       .arg(QStringLiteral("#"), -2)
                       .arg(QStringLiteral("board"), -nameWidth)
                       .arg(QStringLiteral("backend"), -7)
                       .arg(QStringLiteral("in use"));
    for (const ListedBoard &board : boards) {
        text += QStringLiteral("%1  %2  %3  %4\n")
                    .arg(board.number, -2)
                    .arg(board.name, -nameWidth)
                    .arg(board.backend.isEmpty() ? QStringLiteral("?") : board.backend, -7)
                    .arg(board.holder.isEmpty() ? QStringLiteral("free")
                                                : QStringLiteral("held by %1").arg(board.holder));
    }
    std::fputs(qUtf8Printable(text), stdout);
    return kFlashOk;
}

int runWrite(const CommandContext &context, const FirmwareFile &file, bool verify)
{
    const ChosenBoards chosen = listAndChoose(context, true);
    if (chosen.exitCode != kFlashOk)
        return chosen.exitCode;
    return runOnBoards(context, chosen.boards, verify ? QStringLiteral("verified") : QStringLiteral("written"),
                       [&file, verify](BoardRunner &runner) { runner.startWrite(file, verify); });
}

int runRead(const CommandContext &context, const QString &outPath, quint32 address, quint32 length)
{
    const ChosenBoards chosen = listAndChoose(context, false);
    if (chosen.exitCode != kFlashOk)
        return chosen.exitCode;
    return runOnBoards(
        context, chosen.boards, QStringLiteral("read"),
        [address, length](BoardRunner &runner) { runner.startRead(address, length); },
        [&outPath](BoardRunner &runner) {
            QString error;
            if (!saveImageAtomically(outPath, runner.readData(), &error))
                runner.failAfterwards(error);
        });
}

int runReset(const CommandContext &context)
{
    const ChosenBoards chosen = listAndChoose(context, true);
    if (chosen.exitCode != kFlashOk)
        return chosen.exitCode;
    return runOnBoards(context, chosen.boards, QStringLiteral("reset"),
                       [](BoardRunner &runner) { runner.startReset(); });
}

int runMonitor(const CommandContext &context, bool tlv)
{
    const ChosenBoards chosen = listAndChoose(context, false);
    if (chosen.exitCode != kFlashOk)
        return chosen.exitCode;
    const ListedBoard board = chosen.boards.first();
    BoardRunner runner(context.library, board.name);
    // Colours stay for a terminal; a pipe or a file gets the plain text.
    const bool keepColours = isTerminal(stdout);
    ColourFilter filter;
    QObject::connect(&runner, &BoardRunner::output, [&](const QByteArray &bytes) {
        const QByteArray shown = keepColours ? bytes : filter.filter(bytes);
        // Nobody reads any more (the pipe's reader ended): the watch is over.
        if (std::fwrite(shown.constData(), 1, size_t(shown.size()), stdout) != size_t(shown.size())
            || std::fflush(stdout) != 0)
            runner.interrupt();
    });
    QObject::connect(&runner, &BoardRunner::finished, [] { QCoreApplication::quit(); });
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&runner] {
        if (takeInterrupt() != 0)
            runner.interrupt();
    });
    std::fprintf(stderr, "pelmora-flash: watching %d %s%s; Ctrl-C ends (the board keeps running)\n", board.number,
                 qUtf8Printable(board.name), tlv ? " (TLV decoded)" : "");
    runner.startMonitor(tlv);
    tick.start(50);
    if (!runner.isDone())
        QCoreApplication::exec();
    if (runner.state() != BoardRunner::State::Succeeded) {
        printError(QStringLiteral("%1: %2").arg(board.name, runner.firstError()));
        return kFlashFailed;
    }
    return kFlashOk;
}
