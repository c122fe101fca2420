// Registration of the program's built-in resources.
#include "app/resources.h"

#include <QtGlobal>

// Q_INIT_RESOURCE names a function in the global namespace, so it is called from there.
static void registerZenkaloResources() {
    Q_INIT_RESOURCE(zenkalo);
}

namespace zenkalo {

void ensureResources() {
    static const bool registered = [] {
        registerZenkaloResources();
        return true;
    }();
    (void)registered;
}

}  // namespace zenkalo
