#pragma once
// What the source files of the bootloader sequence share: the log origin of every line it
// writes and its fixed numbers.
#include "stm32_usart_protocol.h"

#include <QtGlobal>

namespace bootseq {

constexpr const char *kOrigin = "VX_SI_USBXpressDev::WriteFirmware_Handler";

constexpr quint16 kProductId = stm32::kProductIdF10xMedium;
constexpr quint32 kFlashBase = stm32::kFlashBase;
constexpr quint32 kBlockSize = stm32::kMaxBlock;
constexpr qint16 kRetryBudget = 5;
// Time-outs in steps, one step per pass of the worker loop (at least a millisecond).
constexpr quint16 kSyncTimeout = 100;
constexpr quint16 kReplyTimeout = 1000;
constexpr quint16 kDataTimeout = 5000;
// Without the read-back, the last block's ACK is trusted only once the line has stayed quiet
// until the block's own ACK can no longer be on its way: 258 bytes at 8E1 are 24.6 ms on the
// wire, 128 half-words take at most 9 ms to program, and a USB bridge hands a byte on within
// a few ms more. Counted from the data frame, in steps of at least a millisecond.
constexpr quint16 kLastBlockQuietSteps = 60;

} // namespace bootseq
