// The security service: a single-threaded daemon on the system bus that
// keeps small secrets for other processes. It brings up the key store and
// the item index, serves StoreData, RetrieveData and ClearData from one
// select loop, and stops after a reply that reports an internal error, so
// that the next start checks and repairs the stores (a full partition that
// refused a change and left the stores intact does not stop it).
#pragma once

#include "EphemeralKeys.h"
#include "RequestHandlers.h"
#include "SecureStorage.h"

class VyrnaSecurityManager {
public:
    static VyrnaSecurityManager* getInstance();
    static void release();

    // 0 when the stores are verified, the bus is connected and the methods
    // of the table are registered; 1 otherwise.
    int init();
    // Serves requests until a reply carried status 8 or select failed.
    void run();

private:
    VyrnaSecurityManager() = default;
    ~VyrnaSecurityManager();
    VyrnaSecurityManager(const VyrnaSecurityManager&) = delete;
    VyrnaSecurityManager& operator=(const VyrnaSecurityManager&) = delete;

    // The handlers reach the stores and the stop flag below.
    friend class RequestHandlers<VyrnaSecurityManager>;
    using Methods = RequestHandlers<VyrnaSecurityManager>;

    int _init();

    int m_fdSock = -1;

    static VyrnaSecurityManager* m_instance;
    static EphemeralKeys m_ephemeralKeys;
    static SecureStorage m_secureStorage;
    static bool m_fatalError;
};
