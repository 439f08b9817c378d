#include "sim_board_factory.h"

namespace pelsim {

std::shared_ptr<SerialPeer> createDefaultBoard(int /*index*/)
{
    return std::make_shared<EchoPeer>();
}

} // namespace pelsim
