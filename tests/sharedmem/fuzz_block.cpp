// Any 312 bytes a foreign writer may leave in the shared block, through every decoder and every
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

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

// One segment and one link per process; the key carries the process id so parallel runs and
// a running loader are never touched.
struct FuzzSegment {
    FuzzSegment()
        : key(QStringLiteral("pelmora_fuzz_block_%1").arg(QCoreApplication::applicationPid())),
          link(new VX_SharedMemSocked(key, false))
    {
        raw.setKey(key);
        raw.attach();
    }
    ~FuzzSegment()
    {
        raw.detach();
        delete link;
    }
    QString key;
    VX_SharedMemSocked *link;
    QSharedMemory raw;
};

FuzzSegment &segment()
{
    static FuzzSegment s;
    return s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Exactly one block on the heap, so a read past its end is an ASan report.
    auto block = std::make_unique<SharedMemBlock>();
    std::memset(block.get(), 0, sizeof(SharedMemBlock));
    std::memcpy(block.get(), data, size < sizeof(SharedMemBlock) ? size : sizeof(SharedMemBlock));

    const SharedMemSnapshot s = decodeBlock(*block);
    check(s.path2Hexfile.size() <= kPath2HexfileWidth);
    check(s.nameOfConnectedDevice.size() <= kNameOfConnectedDeviceWidth);

    // Writing back what was read always leaves a NUL inside the field.
    char field[kNameOfConnectedDeviceWidth];
    writeBoundedText(field, kNameOfConnectedDeviceWidth, s.nameOfConnectedDevice);
    check(std::memchr(field, 0, sizeof field) != nullptr);
    const QString again = readBoundedText(field, kNameOfConnectedDeviceWidth);
    check(s.nameOfConnectedDevice.startsWith(again));
    check(again.toUtf8().size() <= kNameOfConnectedDeviceMaxBytes);

    // Two passes over the same bytes: the second sees no change, whatever the first did.
    SharedMemBlock last{};
    last.StatusPelmora = 1;
    const PollOutcome first = pollSharedBlock(last, *block);
    check(!(first.requestPending && first.resultReset));
    check(!first.resultReset || readProgrammingResult(*block) == kResultNone);
    const PollOutcome second = pollSharedBlock(last, *block);
    check(!second.requestPending && !second.resultReset && !second.finished);

    FuzzSegment &seg = segment();
    if (seg.raw.isAttached() && seg.link->isAttached()) {
        seg.raw.lock();
        std::memcpy(seg.raw.data(), data, size < sizeof(SharedMemBlock) ? size : sizeof(SharedMemBlock));
        seg.raw.unlock();
        check(seg.link->isStatusPelmoraSet() == (size > 0 && data[0] != 0));
        seg.link->isStatusProgrammingRequestSet();
        seg.link->isStatusOrbaloConnectionSet();
        seg.link->getProgrammingResult();
        check(seg.link->getPath2Hexfile().size() <= kPath2HexfileWidth);
        check(seg.link->getNameOfConnectedDevice().size() <= kNameOfConnectedDeviceWidth);
    }
    return 0;
}
