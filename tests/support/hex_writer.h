#pragma once
// Writes an image as Intel HEX: extended linear address records as the addresses need them,
// data records of `recordSize` bytes, the EOF record. The tests' own writer, independent of
// the converter under test.

#include <QByteArray>
#include <QtGlobal>

QByteArray hexRecord(quint8 type, quint16 address, const QByteArray &data);
QByteArray toIntelHex(const QByteArray &image, quint32 base = 0x08000000, int recordSize = 16,
                      const char *lineEnd = "\r\n");
