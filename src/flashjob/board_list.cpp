#include "board_list.h"

#include "usbdevice/vx_si_usbxpressdev.h"

QList<ListedBoard> listBoards(const std::shared_ptr<BridgeLibrary> &library)
{
    VX_SI_USBXpressDev probe(library, false);
    probe.fillListOfDevice();
    QList<ListedBoard> boards;
    const QStringList names = probe.getDeviceNameList();
    for (int i = 0; i < names.size(); ++i) {
        ListedBoard board;
        board.number = i + 1;
        board.name = names.at(i);
        board.backend = probe.deviceBackend(quint16(i));
        board.holder = probe.deviceHolder(quint16(i));
        boards << board;
    }
    return boards;
}
