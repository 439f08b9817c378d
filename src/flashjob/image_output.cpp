#include "image_output.h"

#include "settings/disk_write.h"

#include <QSaveFile>

bool saveImageAtomically(const QString &path, const QByteArray &bytes, QString *error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("%1: cannot be written (%2)").arg(path, file.errorString());
        return false;
    }
    // commit() would rename a file whose write or flush failed into place all the same: every
    // step is checked here, and any failure drops the new file.
    if (!writeToDisk(file, bytes) || !syncToDisk(file) || file.error() != QFileDevice::NoError) {
        *error = QStringLiteral("%1: writing failed (%2)").arg(path, file.errorString());
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        *error = QStringLiteral("%1: could not be put in place (%2)").arg(path, file.errorString());
        return false;
    }
    return true;
}
