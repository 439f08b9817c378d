#pragma once
// The settings object's writes to disk: each step reports a failure the caller must see, since
// a write that fails inside a file's buffer shows nowhere else (QSaveFile::commit() in Qt 5.15
// replaces the file after a failed flush).

#include <QByteArray>
#include <QFileDevice>

// Writes all of data; false when the file took less than all of it.
bool writeToDisk(QFileDevice &file, const QByteArray &data);

// Flushes the file and asks the system to put its bytes on the medium, so that a file renamed
// into place afterwards never shows up empty after a power cut. False on any error of the file
// so far, a buffered write that failed included.
bool syncToDisk(QFileDevice &file);
