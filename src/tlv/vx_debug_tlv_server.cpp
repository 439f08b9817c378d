#include "vx_debug_tlv_server.h"

// Placeholder until the decoder lands: takes every byte and decodes nothing.
VX_Debug_TLV_Server::VX_Debug_TLV_Server() {}
quint16 VX_Debug_TLV_Server::WriteReceiveBuffer(const quint8 *, quint16, quint16 count, quint16) { return count; }
void VX_Debug_TLV_Server::TLV_Handler() {}
bool VX_Debug_TLV_Server::CheckReceiveChecksum(quint16) { return false; }
quint16 VX_Debug_TLV_Server::BufferLength() const { return 0; }
quint16 VX_Debug_TLV_Server::OutBufferLength() const { return 0; }
quint16 VX_Debug_TLV_Server::HeadBufferLength() const { return 0; }
qint8 VX_Debug_TLV_Server::ReadOutBuffer(quint8 &) { return -1; }
void VX_Debug_TLV_Server::reset() {}
