// VyrnaSecurityManager: keeps small secrets for other processes on the
// board. Exit status: 0 after serving (also after an internal error, which
// the next start repairs), 1 when the stores or the bus cannot be set up.
#include <sys/prctl.h>

#include "VyrnaSecurityManager.h"

int main()
{
    // The service's memory holds secrets in plain form while it works:
    // no core dump of it, and no other process of its user may read it.
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    VyrnaSecurityManager* service = VyrnaSecurityManager::getInstance();
    if (service == nullptr)
        return -1;
    int result = service->init();
    if (result != 0) {
        VyrnaSecurityManager::release();
        return result;
    }
    service->run();
    VyrnaSecurityManager::release();
    return 0;
}
