// Turns: calls wait per calling user, and users take turns, one call each.
// The user, not the connection, is what counts: one user may open many
// connections. What one user may have waiting is bounded, so that its calls
// cannot fill the service's memory either. A call over the bounds is
// refused, but the refusal goes out only in its user's turn, one per turn:
// answered at once, a flooding client would send again at once, and the bus
// would spend its time on refusals instead of serving the others.
#include <poll.h>

#include "internal.h"

namespace zeldbus {

unsigned int g_callsPerUser = 0;
unsigned int g_bytesPerUser = 0;
QMap<unsigned int, UserCalls> g_waitingCalls;
QList<unsigned int> g_turnOrder;
int g_refusalsHeld = 0;

namespace {

const char kTooManyRequests[] = "TOO MANY REQUESTS";
const char kUidNotFound[] = "USER UID NOT FOUND";

// Messages taken and socket reads made before the next turn is served, so
// that a stream of arrivals (or of calls to refuse) cannot keep the loop
// from serving.
constexpr int kTakeInSteps = 256;
// Refusals held for their users' turns (about 100 bytes each); beyond this
// they go out at once.
constexpr int kMaxRefusalsHeld = 16384;

bool SocketReadable()
{
    pollfd socket = {g_fdSock, POLLIN, 0};
    return poll(&socket, 1, 0) > 0;
}

// Queued without the connection check of replyStr: the call was taken from
// a live connection, and refusing must cost little next to serving.
void Refuse(const Refusal& refusal)
{
    Message reply(dbus_message_new(DBUS_MESSAGE_TYPE_METHOD_RETURN));
    if (!reply || !dbus_message_set_destination(reply.get(), refusal.destination.constData())
        || !dbus_message_set_reply_serial(reply.get(), refusal.serial)
        || !appendString(reply.get(), kTooManyRequests))
        return;
    dbus_message_set_no_reply(reply.get(), TRUE);
    dbus_connection_send(g_dbusLibConnection, reply.get(), nullptr);
}

// Held for the user's next turn, or refused at once when too many are held
// already (or the call names no sender to answer).
void Refuse(DBusMessage* call, UserCalls& user)
{
    const char* sender = dbus_message_get_sender(call);
    if (sender == nullptr)
        return;
    Refusal refusal{QByteArray(sender), dbus_message_get_serial(call)};
    if (g_refusalsHeld >= kMaxRefusalsHeld) {
        Refuse(refusal);
        return;
    }
    user.refusals.append(refusal);
    ++g_refusalsHeld;
}

bool OverLimits(const UserCalls& user, int bytes)
{
    return (g_callsPerUser != 0 && static_cast<unsigned int>(user.calls.size()) >= g_callsPerUser)
           || (g_bytesPerUser != 0 && user.bytes + bytes > g_bytesPerUser);
}

}  // namespace

int admit(const Message& message, bool& queued)
{
    queued = false;
    DBusMessage* call = message.get();
    if (forgetPeer(call))
        return ZELDBUS_OK;
    if (dbus_message_get_type(call) != DBUS_MESSAGE_TYPE_METHOD_CALL)
        return dispatch(call);
    // Null for the library's own answers; the introspection calls come first.
    const bool standard =
        dbus_message_is_method_call(call, DBUS_INTERFACE_INTROSPECTABLE, "Introspect")
        || dbus_message_is_method_call(call, DBUS_INTERFACE_PROPERTIES, "GetAll");
    zeldbus_handler handler = standard ? nullptr : handlerOf(call);

    unsigned int uid = 0;
    if (senderUid(call, &uid) != ZELDBUS_OK) {
        if (handler != nullptr)
            replyStr(call, kUidNotFound);
        else
            dispatch(call);  // its answer does not depend on the caller
        return ZELDBUS_OK;
    }
    unsigned char* data;
    int length;
    byteArgument(call, &data, &length);
    if (g_bytesPerUser != 0 && static_cast<unsigned int>(length) > g_bytesPerUser) {
        // Larger than any valid call: refused now rather than held until
        // its turn (by its handler, or by the library's own answer).
        serveCall(call, handler, uid);
        return ZELDBUS_OK;
    }
    auto user = g_waitingCalls.find(uid);
    if (user != g_waitingCalls.end() && OverLimits(user.value(), length)) {
        Refuse(call, user.value());
        return ZELDBUS_OK;
    }
    if (user == g_waitingCalls.end()) {
        user = g_waitingCalls.insert(uid, UserCalls());
        g_turnOrder.append(uid);
    }
    user->calls.append(WaitingCall{message, handler, uid, length});
    user->bytes += length;
    queued = true;
    return ZELDBUS_OK;
}

int takeIn(bool& more)
{
    more = false;
    for (int steps = 0; g_dbusLibConnection != nullptr; ++steps) {
        if (steps == kTakeInSteps) {
            more = true;
            return ZELDBUS_OK;
        }
        Message message(dbus_connection_pop_message(g_dbusLibConnection));
        if (!message) {
            // Read on only while the socket has more: this never waits.
            if (!SocketReadable() || !dbus_connection_read_write(g_dbusLibConnection, 0))
                return ZELDBUS_OK;
            continue;
        }
        bool queued = false;
        int status = admit(message, queued);
        if (!queued)
            wipeBytes(message.get());
        if (status != ZELDBUS_OK)
            return status;
    }
    return ZELDBUS_OK;
}

void serveNext(unsigned int uid)
{
    auto user = g_waitingCalls.find(uid);
    if (user == g_waitingCalls.end())
        return;
    WaitingCall next{Message(), nullptr, uid, 0};
    if (!user->calls.isEmpty()) {
        next = user->calls.takeFirst();
        user->bytes -= next.bytes;
    }
    if (!user->refusals.isEmpty()) {
        Refuse(user->refusals.takeFirst());
        --g_refusalsHeld;
    }
    if (user->calls.isEmpty() && user->refusals.isEmpty())
        g_waitingCalls.erase(user);
    if (next.call)
        serveCall(next.call.get(), next.handler, next.uid);
}

void serveCall(DBusMessage* call, zeldbus_handler handler, unsigned int uid)
{
    if (handler != nullptr)
        callHandler(call, handler, uid);
    else
        dispatch(call);
}

void clearTurns()
{
    // Calls dropped unanswered may carry secrets too.
    for (const UserCalls& user : qAsConst(g_waitingCalls)) {
        for (const WaitingCall& waiting : user.calls)
            wipeBytes(waiting.call.get());
    }
    g_waitingCalls.clear();
    g_turnOrder.clear();
    g_refusalsHeld = 0;
}

}  // namespace zeldbus

using namespace zeldbus;

void zeldbus_setCallLimits(unsigned int calls, unsigned int bytes)
{
    g_callsPerUser = calls;
    g_bytesPerUser = bytes;
}
