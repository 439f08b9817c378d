#include "tremlin_stand_in.h"

namespace {

// Offsets inside the image.
constexpr quint32 kVectorCount = 16 + 43;  // core exceptions + the F103's peripheral interrupts
constexpr quint32 kNameOffset = kVectorCount * 4;
constexpr quint32 kResetHandler = 0x110;
constexpr quint32 kResetLiteral = 0x118;
constexpr quint32 kFirstLoopHandler = 0x11C;
constexpr quint32 kFillerStart = 0x130;

// Thumb encodings used by the handlers.
constexpr quint16 kLdrR0Pc4 = 0x4801;     // ldr r0, [pc, #4]
constexpr quint16 kMovSpR0 = 0x4685;      // mov sp, r0
constexpr quint16 kBranchSelf = 0xE7FE;   // b .
constexpr quint16 kNop = 0xBF00;

// Core exceptions that get a handler of their own, by vector number; the rest are reserved.
constexpr int kOwnHandlers[] = {2, 3, 4, 5, 6, 11, 12, 14, 15};

constexpr int kRecordData = 16;
constexpr quint8 kTypeData = 0x00;
constexpr quint8 kTypeEof = 0x01;
constexpr quint8 kTypeExtendedLinear = 0x04;
constexpr quint8 kTypeStartLinear = 0x05;

void putWord(QByteArray &image, quint32 offset, quint32 value)
{
    for (int i = 0; i < 4; ++i)
        image[int(offset) + i] = char((value >> (8 * i)) & 0xFF);
}

void putHalf(QByteArray &image, quint32 offset, quint16 value)
{
    image[int(offset)] = char(value & 0xFF);
    image[int(offset) + 1] = char(value >> 8);
}

quint32 crc32(const QByteArray &data, int length)
{
    quint32 crc = 0xFFFFFFFFu;
    for (int i = 0; i < length; ++i) {
        crc ^= quint8(data[i]);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void appendRecord(QByteArray &out, quint8 type, quint16 address, const char *data, int length)
{
    static const char kHex[] = "0123456789ABCDEF";
    auto put = [&out](quint8 byte) {
        out.append(kHex[byte >> 4]);
        out.append(kHex[byte & 0x0F]);
    };
    quint8 sum = quint8(length) + quint8(address >> 8) + quint8(address) + type;
    out.append(':');
    put(quint8(length));
    put(quint8(address >> 8));
    put(quint8(address));
    put(type);
    for (int i = 0; i < length; ++i) {
        put(quint8(data[i]));
        sum = quint8(sum + quint8(data[i]));
    }
    put(quint8(0x100 - sum));
    out.append("\r\n");
}

void appendUpperAddress(QByteArray &out, quint16 upper)
{
    const char data[2] = {char(upper >> 8), char(upper & 0xFF)};
    appendRecord(out, kTypeExtendedLinear, 0, data, 2);
}

} // namespace

quint32 tremlinStandInEntryPoint()
{
    return kTremlinFlashBase + kResetHandler + 1;
}

QByteArray tremlinStandInImage()
{
    QByteArray image(int(kTremlinImageSize), '\0');

    const quint32 defaultHandler = kFirstLoopHandler + 2 * (sizeof kOwnHandlers / sizeof kOwnHandlers[0]);
    putWord(image, 0, kTremlinStackTop);
    putWord(image, 4, tremlinStandInEntryPoint());
    for (quint32 n = 16; n < kVectorCount; ++n)
        putWord(image, n * 4, kTremlinFlashBase + defaultHandler + 1);
    quint32 handler = kFirstLoopHandler;
    for (int n : kOwnHandlers) {
        putWord(image, quint32(n) * 4, kTremlinFlashBase + handler + 1);
        putHalf(image, handler, kBranchSelf);
        handler += 2;
    }
    putHalf(image, defaultHandler, kBranchSelf);

    // The simulated board reads the firmware's name from this tag to show it in its banner.
    for (quint32 i = 0; i < sizeof kTremlinNameTag; ++i)
        image[int(kNameOffset + i)] = kTremlinNameTag[i];

    putHalf(image, kResetHandler, kLdrR0Pc4);
    putHalf(image, kResetHandler + 2, kMovSpR0);
    putHalf(image, kResetHandler + 4, kBranchSelf);
    putHalf(image, kResetHandler + 6, kNop);
    putWord(image, kResetLiteral, kTremlinStackTop);

    // Deterministic filler (xorshift32), so the file never changes between generator runs.
    quint32 state = 0x1037A5C3u;
    for (quint32 offset = kFillerStart; offset + 4 <= kTremlinImageSize - 4; offset += 4) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        putWord(image, offset, state);
    }

    // A CRC-32 trailer; its word is never the erased 0xFFFFFFFF, so the programmed range of the
    // flash ends exactly where the image ends.
    const quint32 trailer = crc32(image, int(kTremlinImageSize) - 4);
    putWord(image, kTremlinImageSize - 4, trailer == 0xFFFFFFFFu ? 0xFFFFFFFEu : trailer);
    return image;
}

QByteArray tremlinStandInHex()
{
    const QByteArray image = tremlinStandInImage();
    QByteArray out;
    out.reserve(275198);
    quint32 upper = 0xFFFFFFFFu;
    for (quint32 offset = 0; offset < kTremlinImageSize; offset += kRecordData) {
        const quint32 address = kTremlinFlashBase + offset;
        if ((address >> 16) != upper) {
            upper = address >> 16;
            appendUpperAddress(out, quint16(upper));
        }
        appendRecord(out, kTypeData, quint16(address & 0xFFFF), image.constData() + offset, kRecordData);
    }
    const quint32 entry = tremlinStandInEntryPoint();
    const char start[4] = {char(entry >> 24), char(entry >> 16), char(entry >> 8), char(entry)};
    appendRecord(out, kTypeStartLinear, 0, start, 4);
    appendRecord(out, kTypeEof, 0, nullptr, 0);
    return out;
}
