#include "sim_board_factory.h"

#include "sim_board.h"

#include <cstdio>
#include <cstdlib>

namespace pelsim {

namespace {

// Applies a board's own fault list; an item not understood is reported and skipped, as the
// common list's are.
void addBoardFaults(int index, BoardOptions &options)
{
    const std::string name = "PELMORA_SIM_FAULTS_" + std::to_string(index + 1);
    const char *value = std::getenv(name.c_str());
    if (!value)
        return;
    std::string list = value;
    std::string bad;
    while (!parseFaults(list, options, &bad)) {
        std::fprintf(stderr, "%s: item \"%s\" not understood, skipped\n", name.c_str(), bad.c_str());
        list.erase(0, list.find(bad) + bad.size());
    }
}

} // namespace

std::string defaultBoardFlashPath(int index)
{
    const char *path = std::getenv("PELMORA_SIM_FLASH");
    if (!path || !*path)
        return std::string();
    return index > 0 ? std::string(path) + "." + std::to_string(index + 1) : std::string(path);
}

std::shared_ptr<SerialPeer> createDefaultBoard(int index)
{
    BoardOptions options = SimBoard::optionsFromEnvironment();
    options.flashPath = defaultBoardFlashPath(index);
    addBoardFaults(index, options);
    return std::make_shared<SimBoard>(options);
}

} // namespace pelsim
