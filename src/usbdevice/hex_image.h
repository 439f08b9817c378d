#pragma once
// Intel HEX to a flat flash image from 0x08000000: records land at their addresses, gaps are
// erased flash (0xFF), the image ends at the highest address written, padded to whole words.

#include <QByteArray>
#include <QFile>
#include <QTemporaryFile>

constexpr quint32 kHexFlashBase = 0x08000000;
constexpr quint32 kHexFlashSize = 128 * 1024;

struct HexParseResult {
    // 1 image complete; -3 first three lines implausible; -5 start code missing (or a line
    // longer than any record); -6 checksum wrong (also short lines, non-hex characters);
    // -7 data outside the flash.
    qint8 code = 1;
    QByteArray image;
    quint32 lowAddress = 0;   // lowest address written (0 when nothing was)
    quint32 highAddress = 0;  // one past the highest address written
    // For the error lines.
    quint8 computedChecksum = 0;
    quint8 readChecksum = 0;
    quint32 badAddress = 0;
    int line = 0;  // 1-based line of the failure
};

HexParseResult parseIntelHex(const char *data, size_t size);

// Result codes: 1 image complete; -1 no HEX file; -2 cannot open it; -3 first three lines
// implausible; -4 image file cannot be opened; -5 start code missing; -6 checksum wrong;
// -7 data outside the flash. On -5 to -7 the image file is emptied and closed; on -1 to -4 an
// earlier image is left as it was.
qint8 convertHexFileToImage(QFile &hexFile, QTemporaryFile &binFile);
