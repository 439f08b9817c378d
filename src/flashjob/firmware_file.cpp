#include "firmware_file.h"

#include "usbdevice/hex_image.h"

#include <QFile>
#include <QFileInfo>

namespace {

// What the converter's codes mean to someone at a terminal; the converter's own words follow.
QString hexFailure(const HexParseResult &r)
{
    QString lead;
    switch (r.code) {
    case -2: lead = QStringLiteral("cannot be read as HEX text"); break;
    case -3:
    case -5: lead = QStringLiteral("not an Intel HEX file"); break;
    case -6: lead = QStringLiteral("broken Intel HEX record"); break;
    case -7: lead = QStringLiteral("Intel HEX data outside the flash"); break;
    case -8: lead = QStringLiteral("Intel HEX records clash"); break;
    default: lead = QStringLiteral("not usable as Intel HEX"); break;
    }
    return QStringLiteral("%1 (code %2%3)")
        .arg(lead)
        .arg(int(r.code))
        .arg(r.error.isEmpty() ? QString() : QStringLiteral(": ") + QString::fromUtf8(r.error));
}

} // namespace

bool parseAddress(const QString &text, quint32 *address)
{
    QString digits = text.trimmed();
    digits.remove(QLatin1Char('_'));
    bool ok = false;
    const qulonglong value = digits.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)
                                 ? digits.mid(2).toULongLong(&ok, 16)
                                 : digits.toULongLong(&ok, 10);
    if (!ok || value > 0xFFFFFFFFull)
        return false;
    *address = quint32(value);
    return true;
}

FirmwareFile loadFirmwareFile(const QString &path, bool hasAddress, quint32 address)
{
    FirmwareFile file;
    file.path = QFileInfo(path).absoluteFilePath();
    file.kind = path.endsWith(QLatin1String(".bin"), Qt::CaseInsensitive) ? FirmwareFile::Kind::RawImage
                                                                          : FirmwareFile::Kind::IntelHex;
    QFile in(path);
    // Not only regular files: a pipe (<(make-firmware)) is read once, like any file.
    if (!QFileInfo::exists(path) || QFileInfo(path).isDir()) {
        file.error = QStringLiteral("%1: no such file").arg(path);
        return file;
    }
    if (!in.open(QIODevice::ReadOnly)) {
        file.error = QStringLiteral("%1: cannot be read (%2)").arg(path, in.errorString());
        return file;
    }
    if (file.kind == FirmwareFile::Kind::IntelHex) {
        if (hasAddress) {
            file.error = QStringLiteral("--address is for raw .bin images; a HEX file says where its data goes");
            return file;
        }
        // The window's converter, reading the text a line at a time.
        HexTextReader reader(in);
        QByteArray why;
        HexParseResult r;
        r.code = reader.readStart(&why);
        r.error = why;
        if (r.code == 1)
            r = reader.convert();
        if (r.code != 1)
            file.error = QStringLiteral("%1: %2").arg(path, hexFailure(r));
        else if (r.image.isEmpty())
            file.error = QStringLiteral("%1: the HEX file holds no data").arg(path);
        file.image = r.image;
        file.address = kHexFlashBase;
        return file;
    }
    // More than the flash holds can never be written; the rest is not read.
    const QByteArray bytes = in.read(qint64(kHexFlashSize) + 1);
    if (bytes.size() > int(kHexFlashSize)) {
        file.error = QStringLiteral("%1: more than the 128 KiB the flash holds").arg(path);
        return file;
    }
    file.address = address;
    file.image = bytes;
    const quint64 end = quint64(address) + quint64(bytes.size());
    if (bytes.isEmpty())
        file.error = QStringLiteral("%1: the file is empty").arg(path);
    else if (address % 4 != 0)
        file.error = QStringLiteral("--address 0x%1 is not word aligned").arg(address, 8, 16, QLatin1Char('0'));
    else if (address < kHexFlashBase || end > quint64(kHexFlashBase) + kHexFlashSize)
        file.error = QStringLiteral("%1 bytes at 0x%2 do not fit the flash (0x08000000-0x0801ffff)")
                         .arg(bytes.size())
                         .arg(address, 8, 16, QLatin1Char('0'));
    return file;
}
