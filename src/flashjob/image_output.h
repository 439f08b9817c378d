#pragma once
// The file a read command fills: written whole or not at all, so a failed read or a full disk
// never leaves a cut image under the name (nor destroys the file that was there).

#include <QByteArray>
#include <QString>

// False, with why in *error, when the file could not be written; the old file then stays.
bool saveImageAtomically(const QString &path, const QByteArray &bytes, QString *error);
