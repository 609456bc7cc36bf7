#include "VyrnaSecurityManager.h"

#include <sys/select.h>

#include "zeldbus.h"

// Constructed before main in this order (key store first), destroyed in
// the reverse order at exit.
EphemeralKeys VyrnaSecurityManager::m_ephemeralKeys;
SecureStorage VyrnaSecurityManager::m_secureStorage;
VyrnaSecurityManager* VyrnaSecurityManager::m_instance = nullptr;
bool VyrnaSecurityManager::m_fatalError = false;

namespace {

const char kObjectPath[] = "/";
const char kBusName[] = "com.zel.vyrna.SecurityManager";
// What one user may have waiting for its turn: room for several of its
// processes calling at once and for a few of the largest valid requests
// (about 256 KiB each), little enough that the users of the board cannot
// fill the service's memory with waiting calls.
constexpr unsigned int kCallsPerUser = 16;
constexpr unsigned int kBytesPerUser = 1024 * 1024;

}  // namespace

VyrnaSecurityManager* VyrnaSecurityManager::getInstance()
{
    if (m_instance == nullptr) {
        m_instance = new VyrnaSecurityManager;
        m_fatalError = false;
    }
    return m_instance;
}

void VyrnaSecurityManager::release()
{
    delete m_instance;
    m_instance = nullptr;
    m_fatalError = false;
}

VyrnaSecurityManager::~VyrnaSecurityManager()
{
    if (m_fdSock != -1) {
        m_fdSock = -1;
        zeldbus_disconnect();
    }
}

int VyrnaSecurityManager::_init()
{
    int keys = m_ephemeralKeys.init();
    if (keys == EphemeralKeys::Damaged) {
        // Both key copies are lost, so every stored item is unreadable.
        m_secureStorage.clean();
    }
    if (keys != 0)
        return 1;
    if (m_secureStorage.init() != 0)
        return 1;
    return 0;
}

int VyrnaSecurityManager::init()
{
    m_fdSock = -1;
    int result = _init();
    if (result != 0)
        return result;

    zeldbus_disconnect();
    if (zeldbus_init(kObjectPath, kBusName, 0, nullptr, 0) != 0)
        return 1;
    zeldbus_setCallLimits(kCallsPerUser, kBytesPerUser);
    if (zeldbus_connect() != 0)
        return 1;
    m_fdSock = zeldbus_getFdSock();

    for (const Methods::Method& method : Methods::m_methods) {
        if (zeldbus_subscribeToMessage(method.name, method.serve) != 0)
            return 1;
    }
    return 0;
}

void VyrnaSecurityManager::run()
{
    fd_set bus;
    FD_ZERO(&bus);
    FD_SET(m_fdSock, &bus);
    for (;;) {
        zeldbus_mainLoop();
        if (m_fatalError)
            return;
        fd_set readable = bus;
        if (select(m_fdSock + 1, &readable, nullptr, nullptr, nullptr) <= 0)
            return;
    }
}
