#include "resources/images/image_resources.h"

#include <QtGlobal>

#include <mutex>

// Q_INIT_RESOURCE declares the registration function in the enclosing namespace, which must be
// the global one, so the call stays out of any namespace.
static void registerImageResources()
{
    Q_INIT_RESOURCE(images);
}

void pelmoraInitImageResources()
{
    static std::once_flag once;
    std::call_once(once, registerImageResources);
}
