#pragma once
// The file a write command is given: Intel HEX (the window's converter, its codes) or a raw
// binary image (a name ending in .bin) placed at the flash base or at a chosen address.

#include <QByteArray>
#include <QString>

struct FirmwareFile {
    enum class Kind { IntelHex, RawImage };

    Kind kind = Kind::IntelHex;
    QString path;          // absolute
    QByteArray image;      // what goes into the flash, from `address` on (a HEX file's: converted)
    quint32 address = 0x08000000;
    QString error;         // empty when the file can be written
};

// hasAddress: the user gave --address (only a raw image takes one).
FirmwareFile loadFirmwareFile(const QString &path, bool hasAddress = false, quint32 address = 0x08000000);

// "0x08000000", "134217728", "0x0800_4000" are all addresses; false for anything else.
bool parseAddress(const QString &text, quint32 *address);
