#include "hex_image.h"

#include "app/log.h"

#include <array>
#include <cstring>

namespace {

constexpr const char *kOrigin = "VX_SI_USBXpressDev::ConvertHex2BinFile";
// ':' + count + address + type + 255 data bytes + checksum, in hex digits.
constexpr size_t kLongestRecord = 1 + 2 + 4 + 2 + 2 * 255 + 2;

enum RecordType : quint8 {
    kData = 0,
    kEndOfFile = 1,
    kExtendedSegment = 2,
    kStartSegment = 3,
    kExtendedLinear = 4,
    kStartLinear = 5,
};

struct HexTable {
    std::array<qint8, 256> value{};
    constexpr HexTable()
    {
        for (auto &v : value)
            v = -1;
        for (int c = '0'; c <= '9'; ++c)
            value[size_t(c)] = qint8(c - '0');
        for (int c = 'A'; c <= 'F'; ++c)
            value[size_t(c)] = qint8(c - 'A' + 10);
        for (int c = 'a'; c <= 'f'; ++c)
            value[size_t(c)] = qint8(c - 'a' + 10);
    }
};
constexpr HexTable kHex;

// One byte from two hex digits; -1 when either is not a hex digit.
inline int hexByte(const char *p)
{
    const int hi = kHex.value[quint8(p[0])];
    const int lo = kHex.value[quint8(p[1])];
    return (hi < 0 || lo < 0) ? -1 : (hi << 4) | lo;
}

// The first three lines must each start with ':'; a missing line fails too.
bool plausible(const char *data, size_t size)
{
    size_t pos = 0;
    for (int line = 0; line < 3; ++line) {
        if (pos >= size || data[pos] != ':')
            return false;
        const void *lf = std::memchr(data + pos, '\n', size - pos);
        if (!lf)
            return line == 2;
        pos = size_t(static_cast<const char *>(lf) - data) + 1;
    }
    return true;
}

} // namespace

HexParseResult parseIntelHex(const char *data, size_t size)
{
    HexParseResult r;
    if (!plausible(data, size)) {
        r.code = -3;
        return r;
    }
    QByteArray flash(int(kHexFlashSize), char(0xFF));
    quint8 *out = reinterpret_cast<quint8 *>(flash.data());
    quint32 upper = 0;
    quint32 low = 0xFFFFFFFF;
    quint32 high = 0;
    size_t pos = 0;
    int lineNo = 0;
    while (pos < size) {
        ++lineNo;
        r.line = lineNo;
        const void *lf = std::memchr(data + pos, '\n', size - pos);
        const size_t end = lf ? size_t(static_cast<const char *>(lf) - data) : size;
        const char *line = data + pos;
        size_t len = end - pos;
        pos = end + 1;
        if (len > 0 && line[len - 1] == '\r')
            --len;
        if (len == 0 || line[0] != ':' || len > kLongestRecord + 8) {
            r.code = -5;
            return r;
        }
        // Header: count, address, type.
        if (len < 11) {
            r.code = -6;
            return r;
        }
        const int count = hexByte(line + 1);
        const int addrHi = hexByte(line + 3);
        const int addrLo = hexByte(line + 5);
        const int type = hexByte(line + 7);
        if (count < 0 || addrHi < 0 || addrLo < 0 || type < 0) {
            r.code = -6;
            return r;
        }
        const size_t need = 11 + 2 * size_t(count);
        quint8 sum = quint8(count + addrHi + addrLo + type);
        quint8 bytes[255];
        bool bad = len < need;
        for (int i = 0; i < count && !bad; ++i) {
            const int b = hexByte(line + 9 + 2 * i);
            if (b < 0) {
                bad = true;
                break;
            }
            bytes[i] = quint8(b);
            sum = quint8(sum + b);
        }
        const int stored = bad ? -1 : hexByte(line + 9 + 2 * count);
        // Anything but blanks after the checksum means the record is not what it claims.
        for (size_t i = need; !bad && i < len; ++i)
            bad = line[i] != ' ' && line[i] != '\t';
        r.computedChecksum = quint8(-sum);
        r.readChecksum = stored < 0 ? 0 : quint8(stored);
        if (bad || stored < 0 || quint8(stored) != r.computedChecksum) {
            r.code = -6;
            return r;
        }

        const quint32 offset = quint32(addrHi << 8 | addrLo);
        switch (type) {
        case kData: {
            if (count == 0)
                break;
            const quint32 address = upper + offset;
            const quint32 last = address + quint32(count) - 1;
            if (address < kHexFlashBase || last >= kHexFlashBase + kHexFlashSize || last < address) {
                r.code = -7;
                const bool startsInside = address >= kHexFlashBase && address < kHexFlashBase + kHexFlashSize;
                r.badAddress = startsInside ? kHexFlashBase + kHexFlashSize : address;
                return r;
            }
            std::memcpy(out + (address - kHexFlashBase), bytes, size_t(count));
            low = qMin(low, address);
            high = qMax(high, last + 1);
            break;
        }
        case kEndOfFile:
            pos = size;
            break;
        case kExtendedSegment:
            if (count == 2)
                upper = quint32(bytes[0] << 8 | bytes[1]) << 4;
            break;
        case kExtendedLinear:
            if (count == 2)
                upper = quint32(bytes[0] << 8 | bytes[1]) << 16;
            break;
        default:
            break;  // start addresses and unknown types carry nothing for the flash
        }
    }
    r.code = 1;
    if (high == 0) {
        r.image.clear();
        return r;
    }
    r.lowAddress = low;
    r.highAddress = high;
    // The bootloader writes flash by whole words.
    quint32 length = high - kHexFlashBase;
    length = (length + 3) & ~3u;
    flash.truncate(int(length));
    r.image = flash;
    return r;
}

qint8 convertHexFileToImage(QFile &hexFile, QTemporaryFile &binFile)
{
    if (!hexFile.exists())
        return -1;
    logStatus(kOrigin, "Path: %s", qUtf8Printable(hexFile.fileName()));
    if (!hexFile.open(QIODevice::ReadOnly))
        return -2;
    const QByteArray text = hexFile.readAll();
    if (!plausible(text.constData(), size_t(text.size()))) {
        hexFile.close();
        return -3;
    }
    if (binFile.isOpen()) {
        binFile.resize(0);
        binFile.seek(0);
    } else if (!binFile.open()) {
        hexFile.close();
        return -4;
    }
    const HexParseResult r = parseIntelHex(text.constData(), size_t(text.size()));
    if (r.code != 1) {
        binFile.resize(0);
        binFile.close();
        hexFile.close();
        if (r.code == -5)
            logError(kOrigin, "Startcode missing");
        else if (r.code == -6)
            logError(kOrigin, "Wrong Checksum CAL: 0x%02x DataRead 0x%02x missing", r.computedChecksum,
                     r.readChecksum);
        else
            logError(kOrigin, "Address 0x%08x outside flash (line %d)", r.badAddress, r.line);
        return r.code;
    }
    if (binFile.write(r.image) != r.image.size()) {
        binFile.resize(0);
        binFile.close();
        hexFile.close();
        return -4;
    }
    binFile.flush();
    logStatus(kOrigin, "HexFileSize: %d kB; BinFileSize %d kB", int(text.size() / 1024),
              int(r.image.size() / 1024));
    binFile.seek(0);
    hexFile.close();
    return 1;
}
