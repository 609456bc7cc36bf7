// The security service: a single-threaded daemon on the system bus that
// keeps small secrets for other processes. It brings up the key store and
// the item index, serves StoreData, RetrieveData and ClearData from one
// select loop, and stops after a reply that reports an internal error, so
// that the next start checks and repairs the stores (a full partition that
// refused a change and left the stores intact does not stop it).
#pragma once

#include "EphemeralKeys.h"
#include "Response.h"
#include "SecureStorage.h"

class VyrnaSecurityManager {
public:
    static VyrnaSecurityManager* getInstance();
    static void release();

    // 0 when the stores are verified, the bus is connected and the three
    // handlers are registered; 1 otherwise.
    int init();
    // Serves requests until a reply carried status 8 or select failed.
    void run();

private:
    VyrnaSecurityManager() = default;
    ~VyrnaSecurityManager();
    VyrnaSecurityManager(const VyrnaSecurityManager&) = delete;
    VyrnaSecurityManager& operator=(const VyrnaSecurityManager&) = delete;

    int _init();

    using Handler = Response (*)(const unsigned char* request, int length, quint32 uid);

    // The bus entry of a handler, and the one place that answers a call:
    // each call gets exactly the one response its handler returns.
    template <Handler handle>
    static void _serve(int serial, unsigned char* request, int length, unsigned int uid)
    {
        FileStorage::resetRefusedForSpace();
        _replyMessage(serial, handle(request, length, uid));
    }
    // Sends the response; an internal error (status 8) stops the loop,
    // unless a full partition refused the change and left the stores as
    // they were: a restart cannot make room.
    static void _replyMessage(int serial, Response response);

    static Response _storeData(const unsigned char* request, int length, quint32 uid);
    static Response _retrieveData(const unsigned char* request, int length, quint32 uid);
    static Response _clearData(const unsigned char* request, int length, quint32 uid);

    int m_fdSock = -1;

    static VyrnaSecurityManager* m_instance;
    static EphemeralKeys m_ephemeralKeys;
    static SecureStorage m_secureStorage;
    static bool m_fatalError;
};
