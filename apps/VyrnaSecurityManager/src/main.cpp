// VyrnaSecurityManager: keeps small secrets for other processes on the
// board. Exit status: 0 after serving (also after an internal error, which
// the next start repairs), 1 when the stores or the bus cannot be set up.
#include "VyrnaSecurityManager.h"

int main()
{
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
