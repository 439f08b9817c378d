#include "sharedmem/shared_mem_block.h"

#include <QtEndian>

#include <cstring>

QString readBoundedText(const char *field, int width)
{
    const void *nul = std::memchr(field, '\0', size_t(width));
    const int length = nul ? int(static_cast<const char *>(nul) - field) : width;
    return QString::fromUtf8(field, length);
}

int utf8PrefixLength(const QByteArray &utf8, int limit)
{
    if (utf8.size() <= limit)
        return utf8.size();
    // Step back over continuation bytes: the cut must fall before a lead byte.
    int cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(utf8[cut]) & 0xC0) == 0x80)
        --cut;
    return cut;
}

bool writeBoundedText(char *field, int width, const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    const int length = utf8PrefixLength(utf8, width - 1);
    std::memcpy(field, utf8.constData(), size_t(length));
    // Zero the tail too: a shorter text must not leave a readable remainder of a longer one.
    std::memset(field + length, 0, size_t(width - length));
    return length == utf8.size();
}

qint32 readProgrammingResult(const SharedMemBlock &block)
{
    return qFromLittleEndian<qint32>(&block.ProgrammingResult);
}

void writeProgrammingResult(SharedMemBlock &block, qint32 value)
{
    qToLittleEndian<qint32>(value, &block.ProgrammingResult);
}

SharedMemSnapshot decodeBlock(const SharedMemBlock &block)
{
    SharedMemSnapshot s;
    s.pelmoraRunning = block.StatusPelmora != 0;
    s.request = block.StatusProgrammingRequest;
    s.result = readProgrammingResult(block);
    s.boardConnected = block.StatusOrbaloConnection != 0;
    s.path2Hexfile = readBoundedText(block.Path2Hexfile, kPath2HexfileWidth);
    s.nameOfConnectedDevice = readBoundedText(block.NameOfConnectedDevice, kNameOfConnectedDeviceWidth);
    return s;
}
