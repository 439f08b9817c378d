#include "vx_si_usbxpressdev.h"

#include "hex_image.h"

qint8 VX_SI_USBXpressDev::ConvertHex2BinFile(QFile &hexFile, QTemporaryFile &binFile)
{
    return convertHexFileToImage(hexFile, binFile);
}
