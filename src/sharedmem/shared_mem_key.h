#pragma once

#include <QString>

// The key every instance and the programming client agree on. PELMORA_SHM_KEY overrides it so
// tests and a second set-up on the same machine do not meet a running loader.
QString pelmoraSharedMemoryKey();
