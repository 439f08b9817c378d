#include "sim_board_factory.h"

#include "sim_board.h"

namespace pelsim {

std::shared_ptr<SerialPeer> createDefaultBoard(int index)
{
    BoardOptions options = SimBoard::optionsFromEnvironment();
    if (index > 0 && !options.flashPath.empty())
        options.flashPath += "." + std::to_string(index + 1);
    return std::make_shared<SimBoard>(options);
}

} // namespace pelsim
