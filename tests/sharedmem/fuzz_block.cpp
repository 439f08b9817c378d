// Any bytes a foreign writer may leave in the shared block, through every decoder and every
// accessor of the link: nothing may read past a field or the block, the change detection must
// stay consistent.
#include "sharedmem/shared_mem_block.h"
#include "sharedmem/shared_mem_poll.h"
#include "sharedmem/vx_sharedmemsocked.h"

#include <QCoreApplication>
#include <QSharedMemory>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

static void check(bool condition)
{
    if (!condition)
        std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const size_t n = size < sizeof(SharedMemBlock) ? size : sizeof(SharedMemBlock);
    // Exactly one block on the heap, so a read past its end is an ASan report.
    auto block = std::make_unique<SharedMemBlock>();
    std::memset(block.get(), 0, sizeof(SharedMemBlock));
    std::memcpy(block.get(), data, n);

    const SharedMemSnapshot s = decodeBlock(*block);
    check(s.path2Hexfile.size() <= kPath2HexfileWidth && s.nameOfConnectedDevice.size() <= kNameOfConnectedDeviceWidth);
    // Writing back what was read always leaves a NUL inside the field.
    char field[kNameOfConnectedDeviceWidth];
    writeBoundedText(field, kNameOfConnectedDeviceWidth, s.nameOfConnectedDevice);
    check(std::memchr(field, 0, sizeof field) != nullptr);
    const QString again = readBoundedText(field, kNameOfConnectedDeviceWidth);
    check(s.nameOfConnectedDevice.startsWith(again) && again.toUtf8().size() <= kNameOfConnectedDeviceMaxBytes);

    // Two passes over the same bytes: the second sees no change, whatever the first did.
    SharedMemBlock last{};
    last.StatusPelmora = 1;
    const PollOutcome first = pollSharedBlock(last, *block);
    check(!(first.requestPending && first.resultReset));
    check(!first.resultReset || readProgrammingResult(*block) == kResultNone);
    const PollOutcome second = pollSharedBlock(last, *block);
    check(!second.requestPending && !second.resultReset && !second.finished);

    // One segment per process (the key carries its id), read through the link as a loader does.
    static const QString key = QStringLiteral("pelmora_fuzz_block_%1").arg(QCoreApplication::applicationPid());
    static VX_SharedMemSocked link(key, false);
    static QSharedMemory raw(key);
    if ((raw.isAttached() || raw.attach()) && link.isAttached()) {
        raw.lock();
        std::memset(raw.data(), 0, sizeof(SharedMemBlock));
        std::memcpy(raw.data(), data, n);
        raw.unlock();
        check(link.isStatusPelmoraSet() == (size > 0 && data[0] != 0));
        link.isStatusProgrammingRequestSet();
        link.isStatusOrbaloConnectionSet();
        link.getProgrammingResult();
        check(link.getPath2Hexfile().size() <= kPath2HexfileWidth);
        check(link.getNameOfConnectedDevice().size() <= kNameOfConnectedDeviceWidth);
    }
    return 0;
}
