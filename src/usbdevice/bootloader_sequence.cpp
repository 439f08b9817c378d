#include "vx_si_usbxpressdev.h"

// Placeholder until the sequence lands: every update fails at once.
void VX_SI_USBXpressDev::WriteFirmware_Handler()
{
    m_BootloaderActive.store(false, std::memory_order_release);
    emit SIGNAL_FirmwareWriteFinish(-1);
}
