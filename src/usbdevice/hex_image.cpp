#include "hex_image.h"

#include <array>
#include <cstring>

namespace {

enum RecordType : quint8 {
    kData = 0,
    kEndOfFile = 1,
    kExtendedSegment = 2,
    kStartSegment = 3,
    kExtendedLinear = 4,
    kStartLinear = 5,
};

// How a flash byte was addressed, kept per byte to find records that write it twice.
enum Mark : quint8 {
    kUnwritten = 0,
    kThroughAlias = 1,
    kAtFlashAddress = 2,
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

inline bool isHexDigit(char c)
{
    return kHex.value[quint8(c)] >= 0;
}

// One byte from two hex digits; -1 when either is not a hex digit.
inline int hexByte(const char *p)
{
    const int hi = kHex.value[quint8(p[0])];
    const int lo = kHex.value[quint8(p[1])];
    return (hi < 0 || lo < 0) ? -1 : (hi << 4) | lo;
}

// "'p' (0x70)" or, for what cannot be printed, "0x0d".
QByteArray describeChar(char c)
{
    const quint8 u = quint8(c);
    if (u >= 0x21 && u < 0x7F)
        return QByteArray("'") + c + "' (0x" + QByteArray::number(u, 16).rightJustified(2, '0') + ')';
    return "0x" + QByteArray::number(u, 16).rightJustified(2, '0');
}

} // namespace

HexImageBuilder::HexImageBuilder()
    : m_flash(int(kHexFlashSize), char(0xFF))
    , m_marks(kHexFlashSize, kUnwritten)
{
}

bool HexImageBuilder::fail(qint8 code, const QByteArray &error)
{
    m_result.code = code;
    m_result.line = m_lineNo;
    m_result.error = error + " (line " + QByteArray::number(m_lineNo) + ')';
    m_ended = true;
    return false;
}

bool HexImageBuilder::addLine(const char *line, size_t len, bool tooLong)
{
    if (m_ended)
        return false;
    ++m_lineNo;
    if (len == 0 || line[0] != ':')
        return fail(-5, "Startcode missing");
    if (tooLong || len > kHexLineMax)
        return fail(-5, "Line longer than any record");
    // Header: count, address, type.
    if (len < 11)
        return fail(-6, "Record cut short: " + QByteArray::number(qulonglong(len)) + " characters");
    const int count = hexByte(line + 1);
    const int addrHi = hexByte(line + 3);
    const int addrLo = hexByte(line + 5);
    const int type = hexByte(line + 7);
    const size_t need = 11 + 2 * size_t(qMax(count, 0));
    // A bad digit turns its decoded value negative; which fault it was is looked up only then.
    int bad = count | addrHi | addrLo | type;
    quint8 sum = quint8(count + addrHi + addrLo + type);
    quint8 bytes[255];
    int stored = -1;
    if (bad >= 0 && len >= need) {
        for (int i = 0; i < count; ++i) {
            const int b = hexByte(line + 9 + 2 * i);
            bad |= b;
            bytes[i] = quint8(b);
            sum = quint8(sum + bytes[i]);
        }
        stored = hexByte(line + 9 + 2 * count);
        bad |= stored;
    }
    if (bad < 0 || len < need) {
        for (size_t i = 1; i < qMin(len, need); ++i) {
            if (!isHexDigit(line[i]))
                return fail(-6, describeChar(line[i]) + " at column " + QByteArray::number(qulonglong(i + 1))
                                    + " is not a hex digit");
        }
        return fail(-6, "Record cut short: " + QByteArray::number(qulonglong(len)) + " characters, its byte count "
                            + QByteArray::number(count) + " needs " + QByteArray::number(qulonglong(need)));
    }
    // Anything but blanks after the checksum means the record is not what it claims.
    for (size_t i = need; i < len; ++i) {
        if (line[i] != ' ' && line[i] != '\t')
            return fail(-6, describeChar(line[i]) + " after the checksum at column "
                                + QByteArray::number(qulonglong(i + 1)));
    }
    m_result.computedChecksum = quint8(-sum);
    m_result.readChecksum = quint8(stored);
    if (m_result.readChecksum != m_result.computedChecksum)
        return fail(-6, QByteArray("Wrong Checksum CAL: 0x")
                            + QByteArray::number(m_result.computedChecksum, 16).rightJustified(2, '0')
                            + " DataRead 0x" + QByteArray::number(m_result.readChecksum, 16).rightJustified(2, '0')
                            + " missing");

    const quint32 offset = quint32(addrHi << 8 | addrLo);
    switch (type) {
    case kData:
        if (count == 0)
            return true;
        // Under a segment record the offset wraps inside its 64 KB segment; under a linear
        // record (or none) the address runs on.
        if (m_segment && offset + quint32(count) > 0x10000) {
            const int first = int(0x10000 - offset);
            return place(quint64(m_upper) + offset, bytes, first)
                   && place(m_upper, bytes + first, count - first);
        }
        return place(quint64(m_upper) + offset, bytes, count);
    case kEndOfFile:
        m_ended = true;
        return false;
    case kExtendedSegment:
    case kExtendedLinear:
        // Without its two bytes the record would leave the upper address as it was, and the
        // data meant for the next 64 KB would overwrite the first.
        if (count != 2)
            return fail(-6, QByteArray(type == kExtendedLinear ? "Extended linear" : "Extended segment")
                                + " address record with " + QByteArray::number(count)
                                + " data bytes instead of 2");
        m_segment = type == kExtendedSegment;
        m_upper = quint32(bytes[0] << 8 | bytes[1]) << (m_segment ? 4 : 16);
        return true;
    default:
        return true;  // start addresses and unknown types carry nothing for the flash
    }
}

bool HexImageBuilder::place(quint64 address, const quint8 *bytes, int count)
{
    const quint64 last = address + quint64(count) - 1;
    quint32 flashOffset = 0;
    Mark form = kAtFlashAddress;
    if (address >= kHexBootAliasBase && last < quint64(kHexBootAliasBase) + kHexFlashSize) {
        flashOffset = quint32(address - kHexBootAliasBase);
        form = kThroughAlias;
    } else if (address >= kHexFlashBase && last < quint64(kHexFlashBase) + kHexFlashSize) {
        flashOffset = quint32(address - kHexFlashBase);
    } else {
        // The first byte that is neither flash nor its alias.
        if (address < quint64(kHexBootAliasBase) + kHexFlashSize)
            m_result.badAddress = kHexBootAliasBase + kHexFlashSize;
        else if (address >= kHexFlashBase && address < quint64(kHexFlashBase) + kHexFlashSize)
            m_result.badAddress = kHexFlashBase + kHexFlashSize;
        else
            m_result.badAddress = quint32(address);
        return fail(-7, "Address 0x" + QByteArray::number(m_result.badAddress, 16).rightJustified(8, '0')
                            + " outside flash");
    }
    quint8 *out = reinterpret_cast<quint8 *>(m_flash.data()) + flashOffset;
    quint8 *marks = m_marks.data() + flashOffset;
    // Usually nothing was written there before; the byte-wise look is for when it was.
    static const quint8 kNothingWritten[255] = {};
    const bool fresh = std::memcmp(marks, kNothingWritten, size_t(count)) == 0;
    for (int i = 0; !fresh && i < count; ++i) {
        if (marks[i] == kUnwritten || (marks[i] == form && out[i] == bytes[i]))
            continue;
        const quint32 flashAddress = kHexFlashBase + flashOffset + quint32(i);
        m_result.badAddress = flashAddress;
        const QByteArray hexAddress = "0x" + QByteArray::number(flashAddress, 16).rightJustified(8, '0');
        if (marks[i] != form)
            return fail(-8, hexAddress + " written both through the boot alias at 0x"
                                + QByteArray::number(flashOffset + quint32(i), 16).rightJustified(8, '0')
                                + " and at its flash address");
        return fail(-8, hexAddress + " written twice with different data (0x"
                            + QByteArray::number(out[i], 16).rightJustified(2, '0') + ", then 0x"
                            + QByteArray::number(bytes[i], 16).rightJustified(2, '0') + ')');
    }
    std::memcpy(out, bytes, size_t(count));
    std::memset(marks, form, size_t(count));
    m_result.viaBootAlias = m_result.viaBootAlias || form == kThroughAlias;
    m_low = qMin(m_low, kHexFlashBase + flashOffset);
    m_high = qMax(m_high, kHexFlashBase + flashOffset + quint32(count));
    return true;
}

HexParseResult HexImageBuilder::finish()
{
    HexParseResult r = std::move(m_result);
    m_ended = true;
    if (r.code != 1 || m_high == 0)
        return r;
    r.lowAddress = m_low;
    r.highAddress = m_high;
    // The bootloader writes flash by whole words.
    const quint32 length = (m_high - kHexFlashBase + 3) & ~3u;
    m_flash.truncate(int(length));
    r.image = std::move(m_flash);
    return r;
}

bool hexTextPlausible(const char *data, size_t size)
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

HexParseResult parseIntelHex(const char *data, size_t size)
{
    if (!hexTextPlausible(data, size)) {
        HexParseResult r;
        r.code = -3;
        return r;
    }
    HexImageBuilder builder;
    size_t pos = 0;
    bool more = true;
    while (more && pos < size) {
        const void *lf = std::memchr(data + pos, '\n', size - pos);
        const size_t end = lf ? size_t(static_cast<const char *>(lf) - data) : size;
        size_t len = end - pos;
        if (len > 0 && data[end - 1] == '\r')
            --len;
        more = builder.addLine(data + pos, len);
        pos = end + 1;
    }
    return builder.finish();
}
