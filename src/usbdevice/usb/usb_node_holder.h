#pragma once
// Which other process has a USB device's node open: the program that holds a bridge we cannot
// claim, for the error text. Linux looks through /proc; elsewhere nothing is known.

#include <QString>

#include <cstdint>

// "name (pid N)" of the first other process with /dev/bus/usb/BBB/DDD open, or empty.
QString usbNodeHolder(uint8_t bus, uint8_t address);
