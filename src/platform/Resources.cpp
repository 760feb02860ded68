#include "platform/Resources.h"

#include <QtGlobal>

static void initResourcesOutsideNamespace() {
    Q_INIT_RESOURCE(resources);
}

void initOmbrixResources() {
    initResourcesOutsideNamespace();
}
