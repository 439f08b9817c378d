// Throughput of the HEX conversion for a 1 MB image: it runs inside the 1 ms worker loop, so
// it must not hold the loop up for long.

#include "usbdevice/hex_image.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

void appendRecord(std::string &out, unsigned type, unsigned address, const unsigned char *data,
                  unsigned count)
{
    static const char digits[] = "0123456789ABCDEF";
    unsigned sum = count + (address >> 8) + (address & 0xFF) + type;
    auto put = [&](unsigned b) {
        out += digits[(b >> 4) & 0xF];
        out += digits[b & 0xF];
    };
    out += ':';
    put(count);
    put(address >> 8);
    put(address & 0xFF);
    put(type);
    for (unsigned i = 0; i < count; ++i) {
        put(data[i]);
        sum += data[i];
    }
    put((0x100 - (sum & 0xFF)) & 0xFF);
    out += "\r\n";
}

std::string makeHex(quint32 base, size_t size, unsigned recordSize)
{
    std::vector<unsigned char> image(size);
    unsigned x = 12345;
    for (auto &b : image) {
        x = x * 1103515245u + 12345u;
        b = (unsigned char)(x >> 16);
    }
    std::string out;
    out.reserve(size * 3);
    int upper = -1;
    for (size_t i = 0; i < size; i += recordSize) {
        const quint32 at = base + quint32(i);
        if (int(at >> 16) != upper) {
            upper = int(at >> 16);
            const unsigned char u[2] = {(unsigned char)(upper >> 8), (unsigned char)upper};
            appendRecord(out, 4, 0, u, 2);
        }
        appendRecord(out, 0, at & 0xFFFF, image.data() + i, recordSize);
    }
    appendRecord(out, 1, 0, nullptr, 0);
    return out;
}

double measure(const std::string &text, HexFlashRange flash, int rounds, size_t &imageSize)
{
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; ++i) {
        const HexParseResult r = parseIntelHex(text.data(), text.size(), flash);
        if (r.code != kHexImageComplete) {
            std::fprintf(stderr, "conversion failed with %d\n", r.code);
            return 0;
        }
        imageSize = r.image.size();
    }
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return double(text.size()) * rounds / s / 1e6;
}

} // namespace

int main()
{
    // The board's flash is 128 KB; the throughput figure uses a 1 MB range so the image is big
    // enough to measure, by the same code.
    const HexFlashRange oneMegabyte{kHexFlashBase, 1u << 20};
    for (unsigned recordSize : {16u, 32u}) {
        const std::string text = makeHex(kHexFlashBase, 1u << 20, recordSize);
        size_t imageSize = 0;
        measure(text, oneMegabyte, 2, imageSize);
        const double mbps = measure(text, oneMegabyte, 20, imageSize);
        std::printf("HEX conversion: %.1f MB/s (target >= 100 MB/s) [%u-byte records, %.1f MB of "
                    "text, %zu-byte image]\n",
                    mbps, recordSize, text.size() / 1e6, imageSize);
    }
    const std::string flash = makeHex(kHexFlashBase, kHexFlashSize, 16);
    size_t imageSize = 0;
    const double mbps = measure(flash, HexFlashRange{}, 100, imageSize);
    std::printf("HEX conversion, full 128 KB flash: %.1f MB/s, %.2f ms per file (target >= 100 MB/s)\n",
                mbps, flash.size() / mbps / 1e3);
    return 0;
}
