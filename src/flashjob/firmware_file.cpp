#include "firmware_file.h"

#include "usbdevice/hex_image.h"

#include <QFile>
#include <QFileInfo>

namespace {

// What the converter's codes mean to someone at a terminal.
QString hexCodeText(const HexParseResult &r)
{
    switch (r.code) {
    case -3: return QStringLiteral("not an Intel HEX file: its first lines do not start with ':'");
    case -5: return QStringLiteral("not an Intel HEX file: line %1 does not start with ':'").arg(r.line);
    case -6:
        // Code -6 also stands for a record that is short or carries non-hex characters; only
        // two different sums are a checksum error.
        if (r.computedChecksum == r.readChecksum)
            return QStringLiteral("malformed Intel HEX record in line %1").arg(r.line);
        return QStringLiteral("Intel HEX checksum wrong in line %1 (0x%2 computed, 0x%3 in the file)")
            .arg(r.line)
            .arg(r.computedChecksum, 2, 16, QLatin1Char('0'))
            .arg(r.readChecksum, 2, 16, QLatin1Char('0'));
    case -7: return QStringLiteral("line %1 puts data at 0x%2, outside the flash")
                 .arg(r.line)
                 .arg(r.badAddress, 8, 16, QLatin1Char('0'));
    default: return QStringLiteral("not usable as Intel HEX");
    }
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
    if (!QFileInfo(path).isFile()) {
        file.error = QStringLiteral("%1: no such file").arg(path);
        return file;
    }
    if (!in.open(QIODevice::ReadOnly)) {
        file.error = QStringLiteral("%1: cannot be read (%2)").arg(path, in.errorString());
        return file;
    }
    // Anything larger than the flash's HEX text can never be written.
    constexpr qint64 kLargest = 16 * 1024 * 1024;
    if (in.size() > kLargest) {
        file.error = QStringLiteral("%1: %2 bytes, far more than the 128 KiB flash takes").arg(path).arg(in.size());
        return file;
    }
    const QByteArray bytes = in.readAll();
    if (file.kind == FirmwareFile::Kind::IntelHex) {
        if (hasAddress) {
            file.error = QStringLiteral("--address is for raw .bin images; a HEX file says where its data goes");
            return file;
        }
        const HexParseResult r = parseIntelHex(bytes.constData(), size_t(bytes.size()));
        if (r.code != 1)
            file.error = QStringLiteral("%1: %2 (code %3)").arg(path, hexCodeText(r)).arg(int(r.code));
        else if (r.image.isEmpty())
            file.error = QStringLiteral("%1: the HEX file holds no data").arg(path);
        file.image = r.image;
        file.address = kHexFlashBase;
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
