#pragma once
// Constants of the STM32 ROM bootloader's USART protocol (ST application note AN3155), named
// once for the host side and the simulated chip alike.

#include <cstdint>

namespace stm32 {

constexpr uint8_t kSync = 0x7F;
constexpr uint8_t kAck = 0x79;
constexpr uint8_t kNack = 0x1F;

constexpr uint8_t kCmdGet = 0x00;
constexpr uint8_t kCmdGetVersion = 0x01;
constexpr uint8_t kCmdGetId = 0x02;
constexpr uint8_t kCmdReadMemory = 0x11;
constexpr uint8_t kCmdGo = 0x21;
constexpr uint8_t kCmdWriteMemory = 0x31;
constexpr uint8_t kCmdErase = 0x43;
constexpr uint8_t kMassEraseCode = 0xFF;  // followed by its checksum 0x00

constexpr uint8_t kProtocolVersion = 0x22;   // STM32F10x
constexpr uint16_t kProductIdF10xMedium = 0x0410;
constexpr uint32_t kFlashBase = 0x08000000;
constexpr uint32_t kMaxBlock = 256;          // bytes per Write Memory / Read Memory

} // namespace stm32
