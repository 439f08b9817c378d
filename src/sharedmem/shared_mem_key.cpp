#include "sharedmem/shared_mem_key.h"

#include <QtGlobal>

QString pelmoraSharedMemoryKey()
{
    const QString fromEnv = qEnvironmentVariable("PELMORA_SHM_KEY");
    return fromEnv.isEmpty() ? QStringLiteral("VX_OrbaloProgrammer") : fromEnv;
}
