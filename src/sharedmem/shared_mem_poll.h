#pragma once
// One pass of the link's change detection, free of threads and locks so it can be driven
// byte by byte. The caller holds the block's lock around it.

#include "sharedmem/shared_mem_block.h"

struct PollOutcome {
    bool requestPending = false;  // request rose to 1
    bool resultReset = false;     // request left 1 in a running instance: result set back to 0
    bool finished = false;        // a new non-zero result appeared
    qint32 finishedResult = kResultNone;
};

// lastState: the values this side last wrote (StatusPelmora) or saw (request, result).
PollOutcome pollSharedBlock(SharedMemBlock &lastState, SharedMemBlock &block);
