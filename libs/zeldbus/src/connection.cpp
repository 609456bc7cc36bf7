// Connection to the system bus: configuration, connecting with the bus name,
// and the connection check that reconnects a lost bus.
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "internal.h"

namespace zeldbus {

DBusConnection* g_dbusLibConnection = nullptr;
char* g_dbusLibPath = nullptr;
char* g_dbusLibClient = nullptr;
int g_fdSock = ZELDBUS_NO_SOCKET;
unsigned int g_maxPendingRequest = 0;
int g_connRetries = 0;
zeldbus_socket_callback g_fdsock_callback = nullptr;
bool g_queueForName = false;
bool g_watchingPeers = false;

QMap<QString, zeldbus_handler> g_methodCallbacks;
QMap<QString, int> g_UnixIds;
QMap<int, Message> g_pendingReplies;
QMap<int, zeldbus_handler> g_responseCallbacks;

namespace {

void ReleaseHandle()
{
    if (g_dbusLibConnection != nullptr) {
        // libdbus forgets a dead shared connection only once its incoming
        // queue is empty; until then dbus_bus_get hands the dead one back
        // instead of connecting afresh. Nothing queued on a dead connection
        // can be answered any more.
        if (!dbus_connection_get_is_connected(g_dbusLibConnection)) {
            // Each popped message is wiped and released at once.
            while (DBusMessage* stale = dbus_connection_pop_message(g_dbusLibConnection)) {
                Message released(stale);
                wipeBytes(stale);
            }
        }
        dbus_connection_unref(g_dbusLibConnection);
        g_dbusLibConnection = nullptr;
    }
}

// Only libdbus's own notice, sent from the local interface, means the bus is
// gone. A peer may send a unicast signal named "Disconnected" too; that one
// must not make us drop the connection and its name.
bool IsLocalDisconnect(DBusMessage* message)
{
    return dbus_message_is_signal(message, DBUS_INTERFACE_LOCAL, "Disconnected");
}

// True when the connection is alive after one non-blocking read/write pass.
// A libdbus disconnect notice at the head of the queue is consumed.
bool StillConnected(DBusConnection* connection)
{
    dbus_connection_flush(connection);
    if (!dbus_connection_read_write(connection, 0))
        return false;
    DBusMessage* head = dbus_connection_borrow_message(connection);
    if (head == nullptr)
        return true;
    if (IsLocalDisconnect(head)) {
        dbus_connection_steal_borrowed_message(connection, head);
        Message notice(head);  // ours now, released on return
        return false;
    }
    dbus_connection_return_message(connection, head);
    return true;
}

}  // namespace

bool checkName(const char* name)
{
    if (name == nullptr)
        return false;
    size_t length = strlen(name);
    return strchr(name, '.') != nullptr && name[length - 1] != '.';
}

void mySleep(int ms)
{
    usleep(static_cast<useconds_t>(ms) * 1000);
}

void disconnect()
{
    g_pendingReplies.clear();
    g_responseCallbacks.clear();
    g_UnixIds.clear();
    // Calls that came over this connection can no longer be answered.
    clearTurns();
    g_watchingPeers = false;
    // A lost connection is released too: keeping the reference would leak
    // one connection object per reconnection.
    ReleaseHandle();
}

int checkConnection()
{
    if (g_dbusLibConnection != nullptr && dbus_connection_get_is_connected(g_dbusLibConnection)
        && StillConnected(g_dbusLibConnection))
        return ZELDBUS_OK;

    if (g_dbusLibPath == nullptr || g_dbusLibClient == nullptr)
        return ZELDBUS_NOT_CONFIGURED;
    if (g_fdsock_callback != nullptr)
        g_fdsock_callback(-1, g_fdSock);
    disconnect();

    for (int failed = 0;;) {
        if (zeldbus_connect() == ZELDBUS_OK)
            return ZELDBUS_OK;
        if (++failed > g_connRetries)
            return ZELDBUS_NO_CONNECTION;
        mySleep(kReconnectPauseMs);
    }
}

}  // namespace zeldbus

using namespace zeldbus;

int zeldbus_init(const char* path, const char* name, unsigned int maxHandlers,
                 zeldbus_socket_callback callback, int retries)
{
    if (g_dbusLibConnection != nullptr)
        return ZELDBUS_CONNECTED;
    if (path == nullptr || name == nullptr)
        return ZELDBUS_BAD_ARGUMENT;
    // A repeated init replaces the earlier configuration without leaking it.
    free(g_dbusLibPath);
    free(g_dbusLibClient);
    g_dbusLibPath = strdup(path);
    g_dbusLibClient = strdup(name);
    g_maxPendingRequest = maxHandlers;
    g_fdsock_callback = callback;
    g_connRetries = retries;
    return ZELDBUS_OK;
}

int zeldbus_connect(void)
{
    if (g_dbusLibConnection != nullptr && dbus_connection_get_is_connected(g_dbusLibConnection))
        return ZELDBUS_OK;
    if (g_dbusLibPath == nullptr || g_dbusLibClient == nullptr)
        return ZELDBUS_BAD_ARGUMENT;
    ReleaseHandle();

    DBusError error;
    dbus_error_init(&error);
    g_dbusLibConnection = dbus_bus_get(DBUS_BUS_SYSTEM, &error);
    if (dbus_error_is_set(&error) || g_dbusLibConnection == nullptr) {
        dbus_error_free(&error);
        ReleaseHandle();
        return ZELDBUS_NO_CONNECTION;
    }

    // Name validity is libdbus's to judge; asking with a malformed name
    // would abort the process inside libdbus.
    int answer = -1;
    if (dbus_validate_bus_name(g_dbusLibClient, nullptr))
        answer = dbus_bus_request_name(g_dbusLibConnection, g_dbusLibClient,
                                       DBUS_NAME_FLAG_REPLACE_EXISTING, &error);
    const bool queued = g_queueForName && answer == DBUS_REQUEST_NAME_REPLY_IN_QUEUE;
    if (dbus_error_is_set(&error) || (answer != DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER && !queued)) {
        dbus_error_free(&error);
        ReleaseHandle();
        return ZELDBUS_NO_CONNECTION;
    }

    // A lost bus must not end the process: we reconnect instead.
    dbus_connection_set_exit_on_disconnect(g_dbusLibConnection, FALSE);

    int fd = -1;
    if (!dbus_connection_get_socket(g_dbusLibConnection, &fd)) {
        ReleaseHandle();
        return ZELDBUS_NO_CONNECTION;
    }
    g_fdSock = fd;
    if (g_fdsock_callback != nullptr)
        g_fdsock_callback(0, g_fdSock);
    return ZELDBUS_OK;
}

void zeldbus_disconnect(void)
{
    if (g_dbusLibConnection != nullptr && dbus_connection_get_is_connected(g_dbusLibConnection)) {
        // libdbus keeps a shared connection open after we let go of it, and
        // with it our bus name; give the name back so that a later
        // zeldbus_connect becomes its primary owner again.
        dbus_bus_release_name(g_dbusLibConnection, g_dbusLibClient, nullptr);
    }
    disconnect();
    g_fdSock = ZELDBUS_NO_SOCKET;
    g_methodCallbacks.clear();
    g_fdsock_callback = nullptr;
}

void zeldbus_queueForName(int queue)
{
    g_queueForName = queue != 0;
}

int zeldbus_getFdSock(void)
{
    return g_fdSock;
}
