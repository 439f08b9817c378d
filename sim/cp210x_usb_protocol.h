#pragma once
// Constants of the CP210x's USB protocol (Silicon Labs AN571), named once for the host side
// and the emulated bridge alike.

#include <cstdint>

namespace cp210x {

constexpr uint16_t kVendorSiliconLabs = 0x10C4;
constexpr uint16_t kProductUartBridge = 0xEA60;
constexpr uint16_t kProductUsbXpress = 0xEA61;

// bmRequestType: vendor requests to the interface (the UART), and to the device as a whole.
constexpr uint8_t kToInterface = 0x41;
constexpr uint8_t kFromInterface = 0xC1;
constexpr uint8_t kToDevice = 0x40;
constexpr uint8_t kFromDevice = 0xC0;

// bRequest.
constexpr uint8_t kIfcEnable = 0x00;
constexpr uint8_t kSetLineCtl = 0x03;
constexpr uint8_t kGetLineCtl = 0x04;
constexpr uint8_t kGetCommStatus = 0x10;
constexpr uint8_t kPurge = 0x12;
constexpr uint8_t kGetBaudRate = 0x1D;
constexpr uint8_t kSetBaudRate = 0x1E;
constexpr uint8_t kVendorSpecific = 0xFF;

// wValue of IFC_ENABLE.
constexpr uint16_t kUartDisable = 0x0000;
constexpr uint16_t kUartEnable = 0x0001;
// wValue of PURGE: bits 0 and 2 clear the transmit queue, bits 1 and 3 the receive queue.
constexpr uint16_t kPurgeTransmit = 0x0005;
constexpr uint16_t kPurgeReceive = 0x000A;
// wValue of VENDOR_SPECIFIC.
constexpr uint16_t kWriteLatch = 0x37E1;
constexpr uint16_t kReadLatch = 0x00C2;
constexpr uint16_t kGetPartNumber = 0x370B;

// GET_COMM_STATUS answers 19 bytes; the receive queue's byte count is the 32-bit
// little-endian value at offset 8.
constexpr uint16_t kCommStatusSize = 19;
constexpr int kCommStatusInQueueOffset = 8;

// Answers of GET_PARTNUM.
constexpr uint8_t kPartCp2101 = 0x01;
constexpr uint8_t kPartCp2102 = 0x02;
constexpr uint8_t kPartCp2103 = 0x03;
constexpr uint8_t kPartCp2104 = 0x04;
constexpr uint8_t kPartCp2105 = 0x05;
constexpr uint8_t kPartCp2108 = 0x08;
constexpr uint8_t kPartCp2102nQfn28 = 0x20;
constexpr uint8_t kPartCp2102nQfn24 = 0x21;
constexpr uint8_t kPartCp2102nQfn20 = 0x22;
constexpr uint8_t kPartUnknown = 0x00;

// The part takes these rates.
constexpr uint32_t kMinBaudRate = 300;
constexpr uint32_t kMaxBaudRate = 3000000;

// The line-control word: stop bits in bits 0-3 (0 = one, 1 = one and a half, 2 = two),
// parity in bits 4-7 (0 none, 1 odd, 2 even, 3 mark, 4 space), data bits in bits 8-15.
constexpr bool lineControlValid(uint16_t word)
{
    return (word >> 8) >= 5 && (word >> 8) <= 8 && ((word >> 4) & 0x0F) <= 4 && (word & 0x0F) <= 2;
}

} // namespace cp210x
