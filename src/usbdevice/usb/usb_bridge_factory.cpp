#include "libusb_transport.h"
#include "usb_bridge_library.h"

std::shared_ptr<BridgeLibrary> createUsbBridgeLibrary()
{
    return std::make_shared<UsbBridgeLibrary>(std::make_shared<pelusb::LibusbTransport>(),
                                              usbIdsFromEnvironment());
}
