// Incoming side: the handler registry, dispatch of queued messages, caller
// identification and replies.
#include <cstdlib>
#include <cstring>

#include "internal.h"

namespace zeldbus {

namespace {

const char kCallbackNotFound[] = "Callback not found";
const char kUidNotFound[] = "USER UID NOT FOUND";
const char kGetAllAnswer[] = "org.freedesktop.DBus does not understand message GetAll";
// Unique names whose owner went away: peers that left the bus.
const char kPeerLeft[] =
    "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
    "member='NameOwnerChanged',arg2=''";
// Far above the bus daemon's default bound on connections (2048).
constexpr int kMaxCachedPeers = 4096;

// Returns -1 when an asynchronous callback was registered as null; the
// caller then stops dispatching, as documented for zeldbus_mainLoop.
int DispatchMethodReturn(DBusMessage* message)
{
    unsigned char* data;
    int length;
    byteArgument(message, &data, &length);

    int serial = static_cast<int>(dbus_message_get_reply_serial(message));
    auto entry = g_responseCallbacks.find(serial);
    if (entry == g_responseCallbacks.end())
        return ZELDBUS_OK;

    unsigned int uid = 0;
    if (senderUid(message, &uid) != 0)
        uid = 0;
    // The query above may have dropped the connection and with it the table.
    entry = g_responseCallbacks.find(serial);
    if (entry == g_responseCallbacks.end())
        return ZELDBUS_OK;
    zeldbus_handler callback = entry.value();
    g_responseCallbacks.erase(entry);
    if (callback == nullptr)
        return ZELDBUS_NOT_CONFIGURED;
    callback(0, data, length, uid);
    return ZELDBUS_OK;
}

}  // namespace

bool answerStandardCall(DBusMessage* call)
{
    if (dbus_message_is_method_call(call, DBUS_INTERFACE_INTROSPECTABLE, "Introspect"))
        replyToIntrospect(call);
    else if (dbus_message_is_method_call(call, DBUS_INTERFACE_PROPERTIES, "GetAll"))
        replyStr(call, kGetAllAnswer);
    else
        return false;
    return true;
}

int dispatch(DBusMessage* message)
{
    switch (dbus_message_get_type(message)) {
    case DBUS_MESSAGE_TYPE_METHOD_CALL:
        if (!answerStandardCall(message))
            findAndCall(message);
        return ZELDBUS_OK;
    case DBUS_MESSAGE_TYPE_METHOD_RETURN:
        return DispatchMethodReturn(message);
    default:
        return ZELDBUS_OK;  // errors and signals are dropped
    }
}

void byteArgument(DBusMessage* message, unsigned char** data, int* length)
{
    *data = nullptr;
    *length = 0;
    DBusMessageIter args;
    if (!dbus_message_iter_init(message, &args)
        || dbus_message_iter_get_arg_type(&args) != DBUS_TYPE_ARRAY
        || dbus_message_iter_get_element_type(&args) != DBUS_TYPE_BYTE)
        return;
    DBusMessageIter elements;
    dbus_message_iter_recurse(&args, &elements);
    int count = 0;
    dbus_message_iter_get_fixed_array(&elements, data, &count);
    *length = count;
    if (count == 0)
        *data = nullptr;
}

int sendUnixUIDRequest(const char* name, unsigned int* uid)
{
    if (!checkName(name))
        return ZELDBUS_BAD_ARGUMENT;
    // The call sets the buffer place to null only for a uint32 answer (the
    // value then comes as the length); strings and byte arrays bring a
    // buffer, and an answer without argument or of any other type leaves the
    // place as it was. Only the first names a user: taking uid 0 from the
    // others would let an unidentified caller pass for root.
    unsigned char untouched = 0;
    unsigned char* answer = &untouched;
    int value = 0;
    int result = zeldbus_sendMessageSyncExt(g_dbusLibPath, DBUS_SERVICE_DBUS, DBUS_INTERFACE_DBUS,
                                            "GetConnectionUnixUser", ZELDBUS_ARG_STRING, name, 0,
                                            &answer, &value);
    if (result != ZELDBUS_OK)
        return result;
    if (answer != nullptr) {
        if (answer != &untouched)
            free(answer);
        return ZELDBUS_NOT_CONFIGURED;
    }
    *uid = static_cast<unsigned int>(value);
    return ZELDBUS_OK;
}

int senderUid(DBusMessage* message, unsigned int* uid)
{
    const char* sender = dbus_message_get_sender(message);
    if (sender != nullptr) {
        auto cached = g_UnixIds.constFind(QString::fromLatin1(sender));
        if (cached != g_UnixIds.constEnd()) {
            *uid = static_cast<unsigned int>(cached.value());
            return ZELDBUS_OK;
        }
    }
    int result = sendUnixUIDRequest(sender, uid);
    if (result == ZELDBUS_OK) {
        // Peers that leave are forgotten (forgetPeer); should those notices
        // not come, the cache still cannot grow without end.
        if (g_UnixIds.size() >= kMaxCachedPeers)
            g_UnixIds.clear();
        g_UnixIds.insert(QString::fromLatin1(sender), static_cast<int>(*uid));
    }
    return result;
}

void watchPeers()
{
    if (g_watchingPeers || g_dbusLibConnection == nullptr)
        return;
    // Not waiting for the daemon's answer: the rule goes out with the next
    // write. Only processes that dispatch watch, so nothing piles up unread
    // in a process that only calls out.
    dbus_bus_add_match(g_dbusLibConnection, kPeerLeft, nullptr);
    g_watchingPeers = true;
}

bool forgetPeer(DBusMessage* message)
{
    // Only the bus daemon itself can send with its own name as sender.
    if (!dbus_message_is_signal(message, DBUS_INTERFACE_DBUS, "NameOwnerChanged")
        || !dbus_message_has_sender(message, DBUS_SERVICE_DBUS))
        return false;
    const char* name = nullptr;
    const char* oldOwner = nullptr;
    const char* newOwner = nullptr;
    if (dbus_message_get_args(message, nullptr, DBUS_TYPE_STRING, &name, DBUS_TYPE_STRING,
                              &oldOwner, DBUS_TYPE_STRING, &newOwner, DBUS_TYPE_INVALID)
        && newOwner[0] == '\0')
        g_UnixIds.remove(QString::fromLatin1(name));
    return true;
}

zeldbus_handler handlerOf(DBusMessage* call)
{
    const char* interface = dbus_message_get_interface(call);
    const char* member = dbus_message_get_member(call);
    QString key = QString::fromLatin1(interface != nullptr ? interface : "") + QLatin1Char('.')
                  + QString::fromLatin1(member != nullptr ? member : "");
    return g_methodCallbacks.value(key, nullptr);
}

void findAndCall(DBusMessage* call)
{
    zeldbus_handler function = handlerOf(call);
    if (function == nullptr) {
        replyStr(call, kCallbackNotFound);
        return;
    }
    unsigned int uid = 0;
    if (senderUid(call, &uid) != ZELDBUS_OK) {
        replyStr(call, kUidNotFound);
        return;
    }
    callHandler(call, function, uid);
}

void callHandler(DBusMessage* call, zeldbus_handler handler, unsigned int uid)
{
    unsigned char* data;
    int length;
    byteArgument(call, &data, &length);

    Message reply(dbus_message_new_method_return(call));
    if (reply) {
        int serial = static_cast<int>(dbus_message_get_serial(call));
        // A return still prepared under the same serial is replaced (and released).
        g_pendingReplies.insert(serial, reply);
        handler(serial, data, length, uid);
    }  // else out of memory: the caller runs into its time-out
    // The request may hold a secret, and the message is freed unwiped.
    if (data != nullptr)
        explicit_bzero(data, static_cast<size_t>(length));
}

int replyStr(DBusMessage* call, const char* text)
{
    int status = checkConnection();
    if (status != ZELDBUS_OK)
        return status;
    Message reply(dbus_message_new_method_return(call));
    // Registered names are the application's and, once converted, could
    // hold bytes that are not UTF-8.
    if (!reply || !appendString(reply.get(), text))
        return ZELDBUS_BAD_ARGUMENT;
    bool queued = dbus_connection_send(g_dbusLibConnection, reply.get(), nullptr);
    return queued ? ZELDBUS_OK : ZELDBUS_NO_CONNECTION;
}

}  // namespace zeldbus

using namespace zeldbus;

int zeldbus_subscribeToMessage(const char* method, zeldbus_handler handler)
{
    if (method == nullptr || handler == nullptr || method[0] == '\0')
        return ZELDBUS_BAD_ARGUMENT;
    if (g_maxPendingRequest != 0
        && static_cast<unsigned int>(g_methodCallbacks.size()) >= g_maxPendingRequest)
        return ZELDBUS_TABLE_FULL;
    g_methodCallbacks.insert(QString::fromLatin1(method), handler);
    return ZELDBUS_OK;
}

int zeldbus_mainLoop(void)
{
    int status = checkConnection();
    if (status != ZELDBUS_OK)
        return status;
    watchPeers();
    unsigned int served = 0;
    bool serving = false;
    // Handlers may make calls that drop the connection; re-read the handle
    // after each step.
    while (g_dbusLibConnection != nullptr) {
        bool more = false;
        status = takeIn(more);
        // The user just served waits behind those who came meanwhile.
        if (serving && g_waitingCalls.contains(served) && !g_turnOrder.contains(served))
            g_turnOrder.append(served);
        serving = false;
        if (status != ZELDBUS_OK)
            return status;
        if (!g_turnOrder.isEmpty()) {
            served = g_turnOrder.takeFirst();
            serving = true;
            serveNext(served);
        } else if (!more) {
            // An answer larger than the socket buffer is only partly written
            // when it is queued; the rest must go out now, not when the next
            // message arrives: the caller of the loop waits for input only.
            // Writing may read in more, which is then served before leaving.
            dbus_connection_flush(g_dbusLibConnection);
            if (dbus_connection_get_dispatch_status(g_dbusLibConnection)
                != DBUS_DISPATCH_DATA_REMAINS)
                break;
        }
    }
    return ZELDBUS_OK;
}

int zeldbus_replyMessage(int serial, unsigned char* data, int length)
{
    if (serial == 0)
        return ZELDBUS_OK;
    int status = checkConnection();
    if (status != ZELDBUS_OK)
        return status;
    auto entry = g_pendingReplies.find(serial);
    if (entry == g_pendingReplies.end())
        return ZELDBUS_BAD_ARGUMENT;
    const Message reply = entry.value();
    g_pendingReplies.erase(entry);

    if (!appendBytes(reply.get(), data, length)) {
        wipeBytes(reply.get());
        return ZELDBUS_BAD_ARGUMENT;
    }
    bool queued = dbus_connection_send(g_dbusLibConnection, reply.get(), nullptr);
    // The answer may carry a secret: once it is written out, the message's
    // copy of it is wiped before libdbus frees it.
    if (queued)
        dbus_connection_flush(g_dbusLibConnection);
    wipeBytes(reply.get());
    return queued ? ZELDBUS_OK : ZELDBUS_NO_CONNECTION;
}
