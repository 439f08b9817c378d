#pragma once
// The peer that stands behind each simulated bridge of the application.

#include "serial_peer.h"

#include <memory>
#include <string>

namespace pelsim {

// A simulated board configured from the environment; index counts the simulated bridges from
// 0. Besides PELMORA_SIM_FAULTS, which every board takes, PELMORA_SIM_FAULTS_<n> adds faults
// to the n-th board alone (1-based, as the bridges are numbered: PELMORA_SIM_FAULTS_3 is the
// board behind "[0x0003]"), so one board of a classroom set can misbehave.
std::shared_ptr<SerialPeer> createDefaultBoard(int index);

// The flash file of that board: PELMORA_SIM_FLASH for the first, with ".2", ".3", ... for the
// others; empty when the flash is kept in memory.
std::string defaultBoardFlashPath(int index);

} // namespace pelsim
