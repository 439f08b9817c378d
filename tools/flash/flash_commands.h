#pragma once
// The tool's commands, on boards chosen from the list the backends give.

#include "flashjob/board_list.h"
#include "flashjob/firmware_file.h"

#include <QList>
#include <QString>

#include <memory>

class BridgeLibrary;

struct BoardChoice {
    bool all = false;
    int number = 0;  // --board N, 0 when not given
    QString name;    // --name TEXT: part of the display name, any case
};

struct ChosenBoards {
    QList<ListedBoard> boards;
    int exitCode = 0;  // not 0: nothing to do, error says why
    QString error;
};

// many: the command takes several boards (--all, or several matching --name).
ChosenBoards chooseBoards(const QList<ListedBoard> &listed, const BoardChoice &choice, bool many);

struct CommandContext {
    std::shared_ptr<BridgeLibrary> library;
    BoardChoice choice;
    bool verbose = false;
};

int runList(const CommandContext &context);
int runWrite(const CommandContext &context, const FirmwareFile &file, bool verify);
int runRead(const CommandContext &context, const QString &outPath, quint32 address, quint32 length);
int runReset(const CommandContext &context);
int runMonitor(const CommandContext &context, bool tlv);
