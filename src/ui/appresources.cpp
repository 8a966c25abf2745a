#include "appresources.h"

#include <QtGlobal>

// Q_INIT_RESOURCE must be expanded outside any namespace.
static void initQuillmarkResources()
{
    Q_INIT_RESOURCE(quillmark);
}

void ensureAppResources()
{
    static const bool done = (initQuillmarkResources(), true);
    Q_UNUSED(done)
}
