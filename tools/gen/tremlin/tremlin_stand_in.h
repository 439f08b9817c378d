#pragma once
// The stand-in for the Tremlin firmware that the loader carries among its resources: a small but
// well-formed Cortex-M3 image for the STM32F103 of the board, and its Intel HEX text.

#include <QByteArray>
#include <QtGlobal>

constexpr quint32 kTremlinFlashBase = 0x08000000;
constexpr quint32 kTremlinImageSize = 0x17E20;    // 97,824 bytes, 6,114 records of 16
constexpr quint32 kTremlinStackTop = 0x20005000;  // end of the F103's 20 KB of SRAM
constexpr char kTremlinNameTag[] = "FWNAME=Tremlin 1.0.37";

// The flat image as it lies in flash from kTremlinFlashBase.
QByteArray tremlinStandInImage();

// Its Intel HEX text: CR LF line ends, 16-byte data records under extended linear address
// records, a start linear address record with the reset handler, and the end-of-file record.
QByteArray tremlinStandInHex();

// The address the start linear address record carries (the reset handler, Thumb bit set).
quint32 tremlinStandInEntryPoint();
