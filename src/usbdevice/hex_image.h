#pragma once
// Intel HEX to a flat flash image from 0x08000000.

#include <QFile>
#include <QTemporaryFile>

// Result codes: 1 image complete; -1 no HEX file; -2 cannot open it; -3 first three lines
// implausible; -4 image file cannot be opened; -5 start code missing; -6 checksum wrong;
// -7 data outside the flash.
qint8 convertHexFileToImage(QFile &hexFile, QTemporaryFile &binFile);
