// Fuzz target of the TLV decoder: any bytes in any pieces; never a crash, the output never
// exceeds its ring, and a whole frame fed after a reset always decodes.
#include "tlv/vx_debug_tlv_server.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    VX_Debug_TLV_Server decoder;
    size_t pos = 0;
    while (pos < size) {
        // The first byte of each piece says how long the piece is.
        const size_t piece = std::min<size_t>(size - pos, 1 + data[pos] * 8u);
        decoder.WriteReceiveBuffer(data + pos, 0, quint16(piece), quint16(piece));
        pos += piece;
        if (decoder.OutBufferLength() > 4095)
            std::abort();
        quint8 b = 0;
        if (data[pos - 1] & 1)
            while (decoder.ReadOutBuffer(b) == 1) {
            }
    }
    quint8 b = 0;
    while (decoder.ReadOutBuffer(b) == 1) {
    }
    decoder.reset();
    const quint8 hi[] = {0xAA, 0x05, 0x00, 0xF0, 0x02, 0x00, 0x48, 0x69, 0x58, 0xFE};
    decoder.WriteReceiveBuffer(hi, 0, sizeof hi, sizeof hi);
    quint8 h = 0, i = 0;
    if (decoder.ReadOutBuffer(h) != 1 || decoder.ReadOutBuffer(i) != 1 || h != 'H' || i != 'i')
        std::abort();
    return 0;
}
