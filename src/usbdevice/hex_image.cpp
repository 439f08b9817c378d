#include "hex_image.h"

// Placeholder until the converter lands.
qint8 convertHexFileToImage(QFile &, QTemporaryFile &)
{
    return -1;
}
