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
    case -2: return "the HEX file cannot be opened for reading (or is too large to be a HEX file)";
    case -3: return "one of the first three lines does not begin with ':' (not an Intel HEX file)";
    case -5: return "a record line does not begin with ':' (or is longer than any record)";
    case -6: return "a record is broken (checksum, length, non-hex characters, extended address record)";
    case -7: return "data lies outside the flash 0x08000000-0x0801FFFF and its boot alias 0x00000000-0x0001FFFF";
    case -8: return "two records write the same flash byte";
    default: return "conversion failed";
    }
}

void usage(FILE *out)
{
    std::fprintf(out,
                 "usage: pelmora-hex2bin [--info] IN.hex OUT.bin\n"
                 "Converts Intel HEX into the flat image written from 0x08000000 (128 KB flash):\n"
                 "records land at their addresses, gaps are 0xFF, the length is padded to whole\n"
                 "words. Data at 0x00000000-0x0001FFFF is the flash seen through its boot alias\n"
                 "and lands at 0x08000000 plus the same offset. Files over 64 MiB are refused.\n"
                 "Exit status 0 on success, 1 on a conversion error, 2 on a usage error.\n"
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
    HexTextReader reader(in);
    QByteArray error;
    HexParseResult r;
    r.code = reader.readStart(&error);
    if (r.code == 1)
        r = reader.convert();
    else
        r.error = error;
    if (r.code != 1) {
        std::fprintf(stderr, "pelmora-hex2bin: %s: error %d: %s", qPrintable(files.at(0)), int(r.code), meaning(r.code));
        if (!r.error.isEmpty())
            std::fprintf(stderr, ": %s", r.error.constData());
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
            std::printf("data 0x%08X-0x%08X%s, image 0x%08X-0x%08X, %d bytes, CRC-32 0x%08lX\n", r.lowAddress,
                        r.highAddress - 1, r.viaBootAlias ? " (addressed through the boot alias at 0)" : "",
                        kHexFlashBase, kHexFlashBase + quint32(r.image.size()) - 1, int(r.image.size()), crc);
    }
    return 0;
}
