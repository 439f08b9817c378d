#pragma once
// Every image the form uses under ":/img/", drawn and encoded. The generator writes these bytes
// into the source tree; a test draws them again and compares with what is committed.

#include <QByteArray>
#include <QImage>
#include <QString>
#include <QVector>

namespace pelmora_images {

struct DrawnImageFile {
    QString name;      // file name, also the resource name under ":/img/"
    QByteArray bytes;  // encoded PNG or ICO
};

// In the order of the resource list.
QVector<DrawnImageFile> drawPelmoraImages();

// The application icon at one size; the ICO file holds it at appIconSizes().
QImage drawAppIconImage(int side);
QVector<int> appIconSizes();

// The resource list for images.qrc: prefix "/img", one entry per file.
QByteArray imagesQrc(const QVector<DrawnImageFile> &files);

}  // namespace pelmora_images
