#pragma once
// Whole-file reads and writes for test set-up and checks.
#include <QByteArray>
#include <QFile>
#include <QString>

// The file's bytes; unreadable when it cannot be opened, so a missing file can be told from an
// empty one where that matters.
inline QByteArray readFile(const QString &path, const QByteArray &unreadable = QByteArray())
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : unreadable;
}

// Replaces the file with bytes; false when any of them did not get written.
inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}
