#pragma once
// The peer that stands behind each simulated bridge of the application.

#include "serial_peer.h"

#include <memory>

namespace pelsim {

// A simulated board configured from the environment; index counts the simulated bridges.
std::shared_ptr<SerialPeer> createDefaultBoard(int index);

} // namespace pelsim
