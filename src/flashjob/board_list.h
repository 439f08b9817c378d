#pragma once
// The bridges the backends see, as the window lists them, with their backend and whether
// another program holds them.

#include <QList>
#include <QString>

#include <memory>

class BridgeLibrary;

struct ListedBoard {
    int number = 0;   // 1-based, as the tool shows and takes it (--board N)
    QString name;     // display name: description [0xSERIAL]
    QString backend;  // "sim", "usb"
    QString holder;   // who else has it open; empty when free
};

// One enumeration by a device object of its own, whose worker never starts.
QList<ListedBoard> listBoards(const std::shared_ptr<BridgeLibrary> &library);
