// Arbitrary messages through zeldbus's dispatch, as if they had arrived on
// the service's connection, which is real (a private bus): answers, error
// texts and user id queries go out to the bus daemon as they would. Each is
// taken in as the dispatch loop does (calls wait for their caller's turn),
// then every turn is served.
//
// Input: the first byte chooses how the message is made. 0: the rest is a
// marshalled message (dbus_message_demarshal). Otherwise the message is
// built from fields: type, serial, interface, member, sender and reply
// serial each picked from a few meaningful values by one byte, then one
// argument of a kind picked by one byte, its bytes the rest of the input.
//
// Handlers: Echo answers with the bytes it got, Silent never answers,
// Twice answers twice (the second answer must be refused). Async callbacks
// wait under serials 7 (a real one) and 8 (registered as null).
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "internal.h"
#include "private_bus.h"

using namespace zeldbus;

namespace {

const char kName[] = "com.zel.test.Fuzz";
const char* const kInterfaces[] = {"com.zel.test", DBUS_INTERFACE_INTROSPECTABLE,
                                   DBUS_INTERFACE_PROPERTIES, "com.zel.other", nullptr};
const char* const kMembers[] = {"Echo", "Silent", "Twice", "Introspect", "GetAll", "Missing"};
const dbus_uint32_t kReplySerials[] = {7, 8, 9, 0xFFFFFFFFu};

zeltest::PrivateBus* g_bus;
int g_handled;  // handler and callback calls in this input
const char* g_ownName;

void Check(bool condition)
{
    if (!condition)
        abort();
}

void Echo(int serial, unsigned char* data, int length, unsigned int)
{
    ++g_handled;
    Check((data == nullptr) == (length == 0) && length >= 0);
    Check(zeldbus_replyMessage(serial, data, length) == ZELDBUS_OK);
}

void Silent(int, unsigned char* data, int length, unsigned int)
{
    ++g_handled;
    Check((data == nullptr) == (length == 0) && length >= 0);
}

void Twice(int serial, unsigned char* data, int length, unsigned int uid)
{
    Echo(serial, data, length, uid);
    Check(zeldbus_replyMessage(serial, data, length) == ZELDBUS_BAD_ARGUMENT);
}

void Answered(int serial, unsigned char* data, int length, unsigned int)
{
    ++g_handled;
    Check(serial == 0 && (data == nullptr) == (length == 0) && length >= 0);
}

template <typename T, size_t N>
T Pick(const T (&choices)[N], uint8_t byte)
{
    return choices[byte % N];
}

// A message built from fields; nullptr when libdbus refuses the fields.
DBusMessage* Build(const uint8_t* data, size_t size)
{
    if (size < 8)
        return nullptr;
    const int type = 1 + data[0] % 4;
    DBusMessage* message = dbus_message_new(type);
    if (message == nullptr)
        return nullptr;
    // Serial 0 is not a valid serial: neither libdbus nor the daemon passes
    // such a message on.
    dbus_message_set_serial(message, 1 + (data[1] | (data[2] << 8)));
    dbus_message_set_path(message, "/");
    dbus_message_set_interface(message, Pick(kInterfaces, data[3]));
    dbus_message_set_member(message, Pick(kMembers, data[4]));
    const char* const senders[] = {g_ownName, DBUS_SERVICE_DBUS, ":1.9999", "com.zel.test.Gone",
                                   nullptr};
    dbus_message_set_sender(message, Pick(senders, data[5]));
    dbus_message_set_reply_serial(message, Pick(kReplySerials, data[6]));
    if (type == DBUS_MESSAGE_TYPE_ERROR)
        dbus_message_set_error_name(message, "com.zel.test.Error");

    const unsigned char* rest = data + 8;
    const int count = static_cast<int>(size - 8);
    std::string text(reinterpret_cast<const char*>(rest), size - 8);
    const char* string = text.c_str();
    dbus_uint32_t number = count;
    bool appended = true;
    switch (data[7] % 5) {
    case 0:
        appended = dbus_message_append_args(message, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE, &rest, count,
                                            DBUS_TYPE_INVALID);
        break;
    case 1:
        appended = dbus_validate_utf8(string, nullptr)
                   && dbus_message_append_args(message, DBUS_TYPE_STRING, &string,
                                               DBUS_TYPE_INVALID);
        break;
    case 2:
        appended = dbus_message_append_args(message, DBUS_TYPE_UINT32, &number, DBUS_TYPE_INVALID);
        break;
    case 3:
        // Bytes after another argument: only the first argument counts.
        appended = dbus_message_append_args(message, DBUS_TYPE_UINT32, &number, DBUS_TYPE_ARRAY,
                                            DBUS_TYPE_BYTE, &rest, count, DBUS_TYPE_INVALID);
        break;
    default:
        break;  // no argument
    }
    if (!appended) {
        dbus_message_unref(message);
        return nullptr;
    }
    return message;
}

DBusMessage* Demarshal(const uint8_t* data, size_t size)
{
    return dbus_message_demarshal(reinterpret_cast<const char*>(data), static_cast<int>(size),
                                  nullptr);
}

// What the daemon sent back (errors for answers nobody waits for, and the
// like) is not part of the next input.
void Drain()
{
    dbus_connection_flush(g_dbusLibConnection);
    dbus_connection_read_write(g_dbusLibConnection, 0);
    while (DBusMessage* stale = dbus_connection_pop_message(g_dbusLibConnection))
        dbus_message_unref(stale);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    g_bus = new zeltest::PrivateBus;
    Check(g_bus->start());
    Check(zeldbus_init("/", kName, 0, nullptr, 0) == ZELDBUS_OK);
    Check(zeldbus_connect() == ZELDBUS_OK);
    Check(zeldbus_subscribeToMessage("com.zel.test.Echo", Echo) == ZELDBUS_OK);
    Check(zeldbus_subscribeToMessage("com.zel.test.Silent", Silent) == ZELDBUS_OK);
    Check(zeldbus_subscribeToMessage("com.zel.test.Twice", Twice) == ZELDBUS_OK);
    g_ownName = strdup(dbus_bus_get_unique_name(g_dbusLibConnection));
    atexit([] {
        zeldbus_disconnect();
        delete g_bus;
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    DBusMessage* message = data[0] == 0 ? Demarshal(data + 1, size - 1) : Build(data + 1, size - 1);
    if (message == nullptr)
        return 0;
    Check(checkConnection() == ZELDBUS_OK);
    g_responseCallbacks.insert(7, Answered);
    g_responseCallbacks.insert(8, nullptr);
    g_handled = 0;

    bool queued = false;
    const int status = admit(Message(dbus_message_ref(message)), queued);
    while (!g_turnOrder.isEmpty())
        serveNext(g_turnOrder.takeFirst());
    Check(g_waitingCalls.isEmpty());
    const bool nullCallback = dbus_message_get_type(message) == DBUS_MESSAGE_TYPE_METHOD_RETURN
                              && dbus_message_get_reply_serial(message) == 8;
    Check(status == (nullCallback ? ZELDBUS_NOT_CONFIGURED : ZELDBUS_OK));
    Check(g_handled <= 1);
    dbus_message_unref(message);

    // A call that stayed unanswered (Silent) keeps its prepared answer until
    // the connection goes; the next input starts without it.
    g_pendingReplies.clear();
    g_responseCallbacks.clear();
    Drain();
    return 0;
}
