#pragma once
// Real CP210x bridges. Without libusb at build time this backend lists no bridges.

#include "usbdevice/bridge_library.h"

#include <memory>

std::shared_ptr<BridgeLibrary> createUsbBridgeLibrary();
