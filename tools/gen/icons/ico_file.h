#pragma once
// Windows icon container: ICONDIR, one ICONDIRENTRY per image, then the payloads. Images up to
// 128 pixels are stored as 32-bit DIBs with an AND mask, which every reader understands; larger
// ones as PNG, the way Windows stores its 256-pixel entries.

#include <QByteArray>
#include <QImage>
#include <QVector>

namespace pelmora_images {

// Square images of at most 256 pixels, in the order they are to appear in the file; an empty
// result for an empty list or an image that does not fit the container.
QByteArray encodeIcoFile(const QVector<QImage> &images);

}  // namespace pelmora_images
