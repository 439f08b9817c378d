#include "sharedmem/shared_mem_poll.h"

PollOutcome pollSharedBlock(SharedMemBlock &lastState, SharedMemBlock &block)
{
    PollOutcome out;
    const quint8 request = block.StatusProgrammingRequest;
    if (request != lastState.StatusProgrammingRequest) {
        lastState.StatusProgrammingRequest = request;
        if (request == 1) {
            out.requestPending = true;
        } else if (lastState.StatusPelmora != 0) {
            // Only an instance that announced itself answers the client, so only it clears.
            writeProgrammingResult(lastState, kResultNone);
            writeProgrammingResult(block, kResultNone);
            out.resultReset = true;
        }
    }
    const qint32 result = readProgrammingResult(block);
    if (result != kResultNone && result != readProgrammingResult(lastState)) {
        writeProgrammingResult(lastState, result);
        out.finished = true;
        out.finishedResult = result;
    }
    return out;
}
