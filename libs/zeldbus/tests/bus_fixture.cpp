#include "bus_fixture.h"

#include <chrono>
#include <poll.h>

namespace zeldbus_test {

std::vector<Call> g_calls;
std::vector<std::pair<int, int>> g_socketEvents;

namespace {

// How long a raw peer waits for its answer: a bound on a hang, not a timing
// check. A 4 MiB array under qemu-arm and the sanitizers takes seconds on a
// busy machine.
constexpr int kAnswerWithinMs = 120000;

void Record(int serial, unsigned char* data, int length, unsigned int uid)
{
    Call call{serial, data == nullptr, {}, length, uid};
    if (data != nullptr)
        call.data.assign(data, data + length);
    g_calls.push_back(call);
}

}  // namespace

void RecordAndReverse(int serial, unsigned char* data, int length, unsigned int uid)
{
    Record(serial, data, length, uid);
    std::vector<unsigned char> reversed(g_calls.back().data.rbegin(), g_calls.back().data.rend());
    zeldbus_replyMessage(serial, reversed.data(), static_cast<int>(reversed.size()));
}

void RecordOnly(int serial, unsigned char* data, int length, unsigned int uid)
{
    Record(serial, data, length, uid);
}

void RecordSocket(int event, int descriptor)
{
    g_socketEvents.emplace_back(event, descriptor);
}

bool PumpUntil(const std::function<bool()>& done, int timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        zeldbus_mainLoop();
        if (done())
            break;
        pollfd fd{zeldbus_getFdSock(), POLLIN, 0};
        ::poll(&fd, 1, 10);
    }
    return true;
}

zeltest::CommandResult ServeWhile(const std::vector<std::string>& argv, const zeltest::RunAs* as)
{
    auto result = std::async(std::launch::async, [&] { return zeltest::RunCommand(argv, as); });
    PumpUntil([&] {
        return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    }, 60000);
    return result.get();
}

RawPeer::RawPeer()
{
    DBusError error;
    dbus_error_init(&error);
    m_connection = dbus_bus_get_private(DBUS_BUS_SYSTEM, &error);
    dbus_error_free(&error);
    if (m_connection != nullptr)
        dbus_connection_set_exit_on_disconnect(m_connection, FALSE);
}

RawPeer::~RawPeer()
{
    close();
}

const char* RawPeer::uniqueName() const
{
    return dbus_bus_get_unique_name(m_connection);
}

DBusPendingCall* RawPeer::send(const char* member, const std::vector<unsigned char>* data,
                               const char* path)
{
    DBusMessage* call = dbus_message_new_method_call(kService, path, kInterface, member);
    if (data != nullptr) {
        const unsigned char* bytes = data->data();
        dbus_message_append_args(call, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE, &bytes,
                                 static_cast<int>(data->size()), DBUS_TYPE_INVALID);
    }
    DBusPendingCall* pending = nullptr;
    dbus_connection_send_with_reply(m_connection, call, &pending, kAnswerWithinMs);
    dbus_connection_flush(m_connection);
    dbus_message_unref(call);
    return pending;
}

DBusMessage* RawPeer::answer(DBusPendingCall* pending)
{
    PumpUntil([&] {
        // Replies complete their pending call only when dispatched.
        dbus_connection_read_write(m_connection, 0);
        while (dbus_connection_dispatch(m_connection) == DBUS_DISPATCH_DATA_REMAINS) {
        }
        return dbus_pending_call_get_completed(pending) != 0;
    }, kAnswerWithinMs);
    DBusMessage* reply = nullptr;
    if (dbus_pending_call_get_completed(pending))
        reply = dbus_pending_call_steal_reply(pending);
    dbus_pending_call_unref(pending);
    return reply;
}

void RawPeer::close()
{
    if (m_connection != nullptr) {
        dbus_connection_close(m_connection);
        dbus_connection_unref(m_connection);
        m_connection = nullptr;
    }
}

std::string StringArg(DBusMessage* message)
{
    DBusMessageIter args;
    if (message == nullptr || !dbus_message_iter_init(message, &args)
        || dbus_message_iter_get_arg_type(&args) != DBUS_TYPE_STRING)
        return "";
    const char* text = nullptr;
    dbus_message_iter_get_basic(&args, &text);
    return text;
}

std::vector<unsigned char> BytesArg(DBusMessage* message, bool* present)
{
    if (present != nullptr)
        *present = false;
    DBusMessageIter args;
    if (message == nullptr || !dbus_message_iter_init(message, &args)
        || dbus_message_iter_get_arg_type(&args) != DBUS_TYPE_ARRAY
        || dbus_message_iter_get_element_type(&args) != DBUS_TYPE_BYTE)
        return {};
    DBusMessageIter elements;
    dbus_message_iter_recurse(&args, &elements);
    const unsigned char* bytes = nullptr;
    int count = 0;
    dbus_message_iter_get_fixed_array(&elements, &bytes, &count);
    if (present != nullptr)
        *present = true;
    return std::vector<unsigned char>(bytes, bytes + count);
}

void ServiceTest::SetUp()
{
    g_calls.clear();
    g_socketEvents.clear();
    zeldbus_disconnect();
    ASSERT_EQ(0, zeldbus_init("/", kService, 0, RecordSocket, 0));
    ASSERT_EQ(0, zeldbus_connect());
    ASSERT_EQ(0, zeldbus_subscribeToMessage("com.zel.test.Reverse", RecordAndReverse));
    ASSERT_EQ(0, zeldbus_subscribeToMessage("com.zel.test.Silent", RecordOnly));
    ASSERT_EQ(0, zeldbus_subscribeToMessage("com.zel.test.Another", RecordAndReverse));
}

void ServiceTest::TearDown()
{
    zeldbus_disconnect();
}

}  // namespace zeldbus_test
