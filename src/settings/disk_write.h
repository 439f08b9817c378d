#pragma once
// Every byte the settings object puts on disk passes through writeToDisk, so a test can stand in
// for a disk that fills up half-way through a write, which no real folder does on demand.

#include <QByteArray>
#include <QFileDevice>

// Writes all of data; false when the file took less than all of it.
bool writeToDisk(QFileDevice &file, const QByteArray &data);

// Flushes the file and asks the system to put its bytes on the medium, so that a file renamed
// into place afterwards never shows up empty after a power cut.
bool syncToDisk(QFileDevice &file);

// From now on every writeToDisk stores at most `bytes` bytes and then fails; -1 lifts the limit.
void setDiskSpaceForTesting(qint64 bytes);
