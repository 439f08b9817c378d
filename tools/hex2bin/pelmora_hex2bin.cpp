// pelmora-hex2bin: converts an Intel HEX file into the flash image Pelmora would write.
#include "usbdevice/hex_image.h"

#include <QCoreApplication>
#include <QFile>

#include <zlib.h>

#include <cstdio>
#include <cstring>

namespace {

const char *meaning(int code)
{
    switch (code) {
    case -1: return "the HEX file does not exist";
    case -2: return "the HEX file cannot be opened for reading";
    case -3: return "one of the first three lines does not begin with ':' (not an Intel HEX file)";
    case -5: return "a record line does not begin with ':' (or is longer than any record)";
    case -6: return "a record's checksum is wrong (or the record is cut short or holds non-hex characters)";
    case -7: return "data lies outside the flash 0x08000000-0x0801FFFF";
    default: return "conversion failed";
    }
}

void usage(FILE *out)
{
    std::fprintf(out,
                 "usage: pelmora-hex2bin [--info] IN.hex OUT.bin\n"
                 "Converts Intel HEX into the flat image written from 0x08000000 (128 KB flash):\n"
                 "records land at their addresses, gaps are 0xFF, the length is padded to whole\n"
                 "words. Exit status 0 on success, 1 on a conversion error, 2 on a usage error.\n"
                 "  --info, --base   also print the address range, the image size and its CRC-32\n");
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    bool info = false;
    QStringList files;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            usage(stdout);
            return 0;
        }
        if (!std::strcmp(argv[i], "--info") || !std::strcmp(argv[i], "--base"))
            info = true;
        else
            files << QString::fromLocal8Bit(argv[i]);
    }
    if (files.size() != 2) {
        usage(stderr);
        return 2;
    }
    QFile in(files.at(0));
    if (!in.exists()) {
        std::fprintf(stderr, "pelmora-hex2bin: %s: %s\n", qPrintable(files.at(0)), meaning(-1));
        return 1;
    }
    if (!in.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "pelmora-hex2bin: %s: %s\n", qPrintable(files.at(0)), meaning(-2));
        return 1;
    }
    const QByteArray text = in.readAll();
    const HexParseResult r = parseIntelHex(text.constData(), size_t(text.size()));
    if (r.code != 1) {
        std::fprintf(stderr, "pelmora-hex2bin: %s line %d: error %d: %s", qPrintable(files.at(0)), r.line,
                     int(r.code), meaning(r.code));
        if (r.code == -6)
            std::fprintf(stderr, " (computed 0x%02x, read 0x%02x)", r.computedChecksum, r.readChecksum);
        if (r.code == -7)
            std::fprintf(stderr, " (address 0x%08x)", r.badAddress);
        std::fprintf(stderr, "\n");
        return 1;
    }
    QFile out(files.at(1));
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(r.image) != r.image.size()) {
        std::fprintf(stderr, "pelmora-hex2bin: %s: cannot write the image\n", qPrintable(files.at(1)));
        return 1;
    }
    if (info) {
        const uLong crc = crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef *>(r.image.constData()),
                                uInt(r.image.size()));
        if (r.image.isEmpty())
            std::printf("no data records: empty image\n");
        else
            std::printf("data 0x%08X-0x%08X, image 0x%08X-0x%08X, %d bytes, CRC-32 0x%08lX\n", r.lowAddress,
                        r.highAddress - 1, kHexFlashBase, kHexFlashBase + quint32(r.image.size()) - 1,
                        int(r.image.size()), crc);
    }
    return 0;
}
