// Fuzz target of the HEX parser: any bytes, never a crash, never an image beyond the flash,
// and success only with a word-aligned image.
#include "usbdevice/hex_image.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const HexParseResult r = parseIntelHex(reinterpret_cast<const char *>(data), size);
    if (r.image.size() > int(kHexFlashSize) || r.image.size() % 4 != 0)
        std::abort();
    if (r.code != 1 && !r.image.isEmpty())
        std::abort();
    return 0;
}
