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

extern unsigned int g_callsPerUser;  // waiting calls of one user; 0: no bound
extern unsigned int g_bytesPerUser;  // waiting bytes of one user; 0: no bound
extern bool g_queueForName;          // connect also when only queued for the name
extern bool g_watchingPeers;         // told of peers leaving this connection's bus

extern QMap<QString, zeldbus_handler> g_methodCallbacks;  // "interface.member" -> handler
extern QMap<QString, int> g_UnixIds;                      // unique bus name -> uid
extern QMap<int, Message> g_pendingReplies;               // call serial -> prepared return
extern QMap<int, zeldbus_handler> g_responseCallbacks;    // outgoing serial -> callback

// A call waiting for its caller's turn, with what its turn needs.
struct WaitingCall {
    Message call;
    zeldbus_handler handler;  // null: the library answers it
    unsigned int uid;
    int bytes;
};
// Where to send "TOO MANY REQUESTS" for a call over its user's bounds.
struct Refusal {
    QByteArray destination;
    dbus_uint32_t serial;
};
struct UserCalls {
    QList<WaitingCall> calls;  // oldest first
    QList<Refusal> refusals;   // sent one per turn
    qint64 bytes = 0;
};
extern QMap<unsigned int, UserCalls> g_waitingCalls;  // uid -> its waiting calls
extern QList<unsigned int> g_turnOrder;               // users with waiting calls, next first
extern int g_refusalsHeld;                            // refusals waiting, all users

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
// Answers Introspect and GetAll; false for any other message.
bool answerStandardCall(DBusMessage* call);
// The handler registered for a call's interface and member, or null.
zeldbus_handler handlerOf(DBusMessage* call);
void findAndCall(DBusMessage* call);
// Prepares the call's answer and runs its handler, then wipes the call's bytes.
void callHandler(DBusMessage* call, zeldbus_handler handler, unsigned int uid);
// The dispatch loop's steps: what has arrived is taken in (calls wait for
// their turn, everything else is handled at once); then the next user's
// oldest call is served. takeIn sets more when it stopped with more to do.
int takeIn(bool& more);
// One message taken in: a method call waits for its caller's turn, also one
// that the library answers itself (any call costs a turn); anything else is
// handled at once. queued tells which.
int admit(const Message& message, bool& queued);
void serveNext(unsigned int uid);
// A call's handler, or the library's own answer for a null handler.
void serveCall(DBusMessage* call, zeldbus_handler handler, unsigned int uid);
void clearTurns();
// Asks the bus daemon to tell us of peers that leave, once per connection.
void watchPeers();
// A notice of a peer that left: its cached uid is forgotten. False for any
// other message.
bool forgetPeer(DBusMessage* message);
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
// Zeroes the bytes of a message's first argument when it is a byte array:
// they may be a secret, and the message's memory is freed unwiped.
void wipeBytes(DBusMessage* message);

int replyStr(DBusMessage* call, const char* text);
int replyToIntrospect(DBusMessage* call);
// The introspection document for a call made on callPath.
QString introspectionDocument(const char* callPath);

}  // namespace zeldbus
