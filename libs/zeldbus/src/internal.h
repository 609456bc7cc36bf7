// State and internal steps shared by the units of the library. All of it is
// process-wide and touched from one thread only.
#pragma once

#include <QMap>
#include <QString>
#include <dbus/dbus.h>
#include <utility>

#include "zeldbus.h"

namespace zeldbus {

// Holds one reference to a libdbus message and gives it back when it goes
// out of scope; a copy holds a reference of its own.
class Message {
public:
    Message() = default;
    // Takes over a reference that the caller owns (a new, popped or stolen
    // message); null stays empty.
    explicit Message(DBusMessage* adopted) : m_message(adopted) {}
    Message(const Message& other) : m_message(other.m_message)
    {
        if (m_message != nullptr)
            dbus_message_ref(m_message);
    }
    Message(Message&& other) noexcept : m_message(std::exchange(other.m_message, nullptr)) {}
    Message& operator=(Message other) noexcept
    {
        std::swap(m_message, other.m_message);
        return *this;
    }
    ~Message()
    {
        if (m_message != nullptr)
            dbus_message_unref(m_message);
    }

    DBusMessage* get() const { return m_message; }
    explicit operator bool() const { return m_message != nullptr; }

private:
    DBusMessage* m_message = nullptr;
};

extern DBusConnection* g_dbusLibConnection;
extern char* g_dbusLibPath;
extern char* g_dbusLibClient;
extern int g_fdSock;
extern unsigned int g_maxPendingRequest;
extern int g_connRetries;
extern zeldbus_socket_callback g_fdsock_callback;

extern QMap<QString, zeldbus_handler> g_methodCallbacks;  // "interface.member" -> handler
extern QMap<QString, int> g_UnixIds;                      // unique bus name -> uid
extern QMap<int, Message> g_pendingReplies;               // call serial -> prepared return
extern QMap<int, zeldbus_handler> g_responseCallbacks;    // outgoing serial -> callback

constexpr int kReconnectPauseMs = 500;

// 0 when the connection is usable (reconnecting if it was lost), else -1 or -2.
int checkConnection();
// Drops the handle with everything tied to it: prepared replies, async
// callbacks, the uid cache. Registry, configuration and socket number stay.
void disconnect();
bool checkName(const char* name);
void mySleep(int ms);

// One incoming message: a method call goes to its handler (or gets the
// standard answer), a method return to the callback of its async call;
// errors and signals are dropped. -1 for a null async callback.
int dispatch(DBusMessage* message);
void findAndCall(DBusMessage* call);
// Asks the bus daemon for a peer's uid; 0 on success.
int sendUnixUIDRequest(const char* name, unsigned int* uid);
// The peer's uid from the cache, or asked of the bus daemon and cached.
int senderUid(DBusMessage* message, unsigned int* uid);
// First argument as bytes: pointer into the message and count, or null and 0.
void byteArgument(DBusMessage* message, unsigned char** data, int* length);
// Append one argument: a byte array (nothing for null data or no bytes), or
// a string (nothing for null; false for one that is not UTF-8, which libdbus
// would abort on). False when the argument could not be appended.
bool appendBytes(DBusMessage* message, unsigned char* data, int length);
bool appendString(DBusMessage* message, const char* text);

int replyStr(DBusMessage* call, const char* text);
int replyToIntrospect(DBusMessage* call);
// The introspection document for a call made on callPath.
QString introspectionDocument(const char* callPath);

}  // namespace zeldbus
