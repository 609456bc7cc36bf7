// A service built on zeldbus, called by bus clients that nobody here wrote.
#include <dlfcn.h>
#include <unistd.h>

#include "bus_fixture.h"
#include "bus_monitor.h"
#include "private_bus.h"

using namespace zeldbus_test;
using zeltest::CommandResult;
using zeltest::RunAs;

// While set, the bus daemon's uint32 answers (the uid query's) reach the
// library as a reply of this message type carrying one argument of this
// type (none for DBUS_TYPE_INVALID; a uint32 is 4242).
struct UidAnswer {
    int messageType;
    int argType;
};
UidAnswer* g_uidAnswer = nullptr;

// Stands between the library and libdbus in this test program.
extern "C" DBusMessage* dbus_pending_call_steal_reply(DBusPendingCall* pending)
{
    static auto real = reinterpret_cast<DBusMessage* (*)(DBusPendingCall*)>(
        dlsym(RTLD_NEXT, "dbus_pending_call_steal_reply"));
    DBusMessage* reply = real(pending);
    DBusMessageIter args;
    if (g_uidAnswer == nullptr || reply == nullptr
        || !dbus_message_has_sender(reply, DBUS_SERVICE_DBUS)
        || !dbus_message_iter_init(reply, &args)
        || dbus_message_iter_get_arg_type(&args) != DBUS_TYPE_UINT32)
        return reply;
    DBusMessage* other = dbus_message_new(g_uidAnswer->messageType);
    dbus_message_set_reply_serial(other, dbus_message_get_reply_serial(reply));
    dbus_message_set_sender(other, DBUS_SERVICE_DBUS);
    if (g_uidAnswer->messageType == DBUS_MESSAGE_TYPE_ERROR)
        dbus_message_set_error_name(other, DBUS_ERROR_FAILED);
    dbus_uint32_t value = g_uidAnswer->argType == DBUS_TYPE_BOOLEAN ? 1 : 4242;
    if (g_uidAnswer->argType != DBUS_TYPE_INVALID)
        dbus_message_append_args(other, g_uidAnswer->argType, &value, DBUS_TYPE_INVALID);
    dbus_message_unref(reply);
    return other;
}

namespace {

std::vector<std::string> Busctl(std::vector<std::string> tail)
{
    std::vector<std::string> argv = {"busctl", "--system", "call", kService};
    argv.insert(argv.end(), tail.begin(), tail.end());
    return argv;
}

bool IsUidQuery(const zeltest::SeenMessage& m)
{
    return m.type == DBUS_MESSAGE_TYPE_METHOD_CALL && m.member == "GetConnectionUnixUser";
}

class ServiceCalls : public ServiceTest {};

// Clients of three different implementations, each passing bytes in its own
// syntax; the handler sees the bytes and answers them reversed.
TEST_F(ServiceCalls, OutsideClientsReachTheHandlerWithTheirBytes)
{
    struct Case {
        std::vector<std::string> argv;
        std::string expectedOut;
    };
    const std::vector<Case> cases = {
        {Busctl({"/", kInterface, "Reverse", "ay", "3", "1", "2", "255"}), "ay 3 255 2 1\n"},
        {{"gdbus", "call", "--system", "--dest", kService, "--object-path", "/", "--method",
          "com.zel.test.Reverse", "[byte 0x01, 0x02, 0xff]"},
         "([byte 0xff, 0x02, 0x01],)\n"},
        {{"dbus-send", "--system", "--print-reply=literal", std::string("--dest=") + kService, "/",
          "com.zel.test.Reverse", "array:byte:1,2,255"},
         "   array of bytes [\n      ff 02 01\n   ]\n"},
    };
    for (const Case& c : cases) {
        g_calls.clear();
        CommandResult r = ServeWhile(c.argv);
        EXPECT_EQ(0, r.exitStatus) << c.argv[0] << ": " << r.err;
        EXPECT_EQ(c.expectedOut, r.out) << c.argv[0];
        ASSERT_EQ(1u, g_calls.size()) << c.argv[0];
        EXPECT_EQ((std::vector<unsigned char>{1, 2, 255}), g_calls[0].data);
        EXPECT_EQ(3, g_calls[0].length);
        EXPECT_NE(0, g_calls[0].serial);
        EXPECT_EQ(getuid(), g_calls[0].uid);
    }
}

// Without a byte array as first argument the handler gets null and 0.
TEST_F(ServiceCalls, CallsWithoutByteArrayGiveNullAndZero)
{
    const std::vector<std::vector<std::string>> shapes = {
        {},                       // no argument at all
        {"s", "hello"},           // a string
        {"ai", "2", "1", "2"},    // an array of another type
        {"u", "7"},               // a number
        {"sy", "x", "1"},         // bytes only second
    };
    for (const auto& shape : shapes) {
        g_calls.clear();
        std::vector<std::string> tail = {"/", kInterface, "Reverse"};
        tail.insert(tail.end(), shape.begin(), shape.end());
        CommandResult r = ServeWhile(Busctl(tail));
        EXPECT_EQ(0, r.exitStatus) << r.err;
        ASSERT_EQ(1u, g_calls.size());
        EXPECT_TRUE(g_calls[0].nullData);
        EXPECT_EQ(0, g_calls[0].length);
        // An empty answer goes out without arguments.
        EXPECT_EQ("", r.out);
    }
}

TEST_F(ServiceCalls, AnyObjectPathReachesTheHandler)
{
    CommandResult r = ServeWhile(Busctl({"/some/where/else", kInterface, "Reverse", "ay", "1", "9"}));
    EXPECT_EQ("ay 1 9\n", r.out) << r.err;
    EXPECT_EQ(1u, g_calls.size());
}

TEST_F(ServiceCalls, UnknownMethodIsAnsweredWithCallbackNotFound)
{
    CommandResult r = ServeWhile(Busctl({"/", kInterface, "Nobody", "ay", "1", "1"}));
    EXPECT_EQ("s \"Callback not found\"\n", r.out) << r.err;
    EXPECT_TRUE(g_calls.empty());
}

TEST_F(ServiceCalls, GetAllGetsItsStringAnswerEvenWithoutHandlers)
{
    const char* expected = "s \"org.freedesktop.DBus does not understand message GetAll\"\n";
    CommandResult r = ServeWhile(Busctl({"/", "org.freedesktop.DBus.Properties", "GetAll", "s", "x"}));
    EXPECT_EQ(expected, r.out) << r.err;

    zeldbus_disconnect();  // empties the registry
    ASSERT_EQ(0, zeldbus_connect());
    r = ServeWhile(Busctl({"/", "org.freedesktop.DBus.Properties", "GetAll", "s", "x"}));
    EXPECT_EQ(expected, r.out) << r.err;
}

// The handler learns the real user of each caller from the bus daemon.
TEST_F(ServiceCalls, HandlersSeeTheCallersRealUid)
{
    std::vector<RunAs> others = zeltest::OtherUsers();
    if (others.size() < 2)
        GTEST_SKIP() << "needs root and two unprivileged accounts to call as several users";
    std::vector<unsigned int> expected = {getuid()};
    ServeWhile(Busctl({"/", kInterface, "Reverse", "ay", "1", "1"}));
    for (const RunAs& user : others) {
        CommandResult r = ServeWhile(Busctl({"/", kInterface, "Reverse", "ay", "1", "1"}), &user);
        EXPECT_EQ(0, r.exitStatus) << r.err;
        expected.push_back(user.uid);
    }
    ASSERT_EQ(expected.size(), g_calls.size());
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(expected[i], g_calls[i].uid) << "call " << i;
}

// The bus daemon is asked once per peer; after a reconnection every peer
// is asked again.
TEST_F(ServiceCalls, UidIsAskedOncePerPeerAndAgainAfterReconnection)
{
    zeltest::BusMonitor monitor;
    if (!monitor.start())
        GTEST_SKIP() << "monitoring the bus needs root";
    RawPeer first, second;
    std::vector<unsigned char> bytes = {1};
    for (RawPeer* peer : {&first, &first, &second, &first}) {
        DBusMessage* answer = peer->answer(peer->send("Reverse", &bytes));
        ASSERT_NE(nullptr, answer);
        dbus_message_unref(answer);
    }
    EXPECT_EQ(2u, monitor.count(IsUidQuery));

    // Restart the daemon: the service reconnects and asks again.
    first.close();
    second.close();
    zeltest::BusEnvironment::bus().stop();
    ASSERT_TRUE(zeltest::BusEnvironment::bus().start());
    ASSERT_EQ(0, zeldbus_mainLoop());  // reconnects and takes the name again
    zeltest::BusMonitor after;
    ASSERT_TRUE(after.start());
    RawPeer third;
    for (int i = 0; i < 2; ++i) {
        DBusMessage* answer = third.answer(third.send("Reverse", &bytes));
        ASSERT_NE(nullptr, answer);
        dbus_message_unref(answer);
    }
    EXPECT_EQ(1u, after.count(IsUidQuery));
    EXPECT_EQ(6u, g_calls.size());
}

// A caller that leaves before its call is dispatched cannot be identified:
// it is answered "USER UID NOT FOUND" and no handler runs.
TEST_F(ServiceCalls, UnknownCallerGetsUserUidNotFound)
{
    zeltest::BusMonitor monitor;
    if (!monitor.start())
        GTEST_SKIP() << "seeing the answer to a departed peer needs a bus monitor (root)";
    std::string peerName;
    {
        RawPeer leaving;
        peerName = leaving.uniqueName();
        std::vector<unsigned char> bytes = {1, 2};
        DBusPendingCall* pending = leaving.send("Reverse", &bytes);
        dbus_pending_call_unref(pending);
    }  // closes the connection before the service looks at the call
    // Once the bus has announced the departure (its second change of owner of
    // the peer's name, after the arrival), the service's question about the
    // caller's uid can only find the caller gone.
    auto isOwnerChange = [&](const zeltest::SeenMessage& m) {
        return m.type == DBUS_MESSAGE_TYPE_SIGNAL && m.member == "NameOwnerChanged"
               && m.firstString == peerName;
    };
    for (int tries = 0; tries < 200 && monitor.count(isOwnerChange, 50) < 2; ++tries) {
    }
    ASSERT_EQ(2u, monitor.count(isOwnerChange, 0));
    auto isAnswer = [&](const zeltest::SeenMessage& m) {
        return m.type == DBUS_MESSAGE_TYPE_METHOD_RETURN && m.destination == peerName
               && m.firstString == "USER UID NOT FOUND";
    };
    EXPECT_TRUE(PumpUntil([&] { return monitor.count(isAnswer, 10) > 0; }));
    EXPECT_EQ(1u, monitor.count(isAnswer, 500));
    EXPECT_TRUE(g_calls.empty());
}

// Only a uint32 answer names the caller's uid; an answer without argument or
// with another type identifies nobody, least of all root.
TEST_F(ServiceCalls, OnlyAUint32AnswerIdentifiesTheCaller)
{
    const struct {
        const char* name;
        UidAnswer answer;
        bool identified;
    } cases[] = {
        {"uint32", {DBUS_MESSAGE_TYPE_METHOD_RETURN, DBUS_TYPE_UINT32}, true},
        {"no argument", {DBUS_MESSAGE_TYPE_METHOD_RETURN, DBUS_TYPE_INVALID}, false},
        {"int32", {DBUS_MESSAGE_TYPE_METHOD_RETURN, DBUS_TYPE_INT32}, false},
        {"boolean", {DBUS_MESSAGE_TYPE_METHOD_RETURN, DBUS_TYPE_BOOLEAN}, false},
        {"error without text", {DBUS_MESSAGE_TYPE_ERROR, DBUS_TYPE_INVALID}, false},
    };
    std::vector<unsigned char> bytes = {1};
    for (auto c : cases) {
        SCOPED_TRACE(c.name);
        g_calls.clear();
        RawPeer peer;  // a new peer, so its uid is asked for
        g_uidAnswer = &c.answer;
        DBusMessage* answer = peer.answer(peer.send("Reverse", &bytes));
        g_uidAnswer = nullptr;
        ASSERT_NE(nullptr, answer);
        EXPECT_EQ(c.identified ? "" : "USER UID NOT FOUND", StringArg(answer));
        dbus_message_unref(answer);
        ASSERT_EQ(c.identified ? 1u : 0u, g_calls.size());
        if (c.identified) {
            EXPECT_EQ(4242u, g_calls[0].uid);
        }
    }
}

// The packaging policy: only root owns the security service's name, every
// user may call its interface and introspect it, nothing else.
TEST(Policy, SecurityManagerNameAndInterface)
{
    std::vector<RunAs> others = zeltest::OtherUsers();
    if (others.empty())
        GTEST_SKIP() << "policy checks need root and an unprivileged account";
    const char* name = "com.zel.vyrna.SecurityManager";
    zeldbus_disconnect();
    ASSERT_EQ(0, zeldbus_init("/", name, 0, nullptr, 0));
    ASSERT_EQ(0, zeldbus_connect());  // root may own it
    ASSERT_EQ(0, zeldbus_subscribeToMessage("com.zel.vyrna.StoreData", RecordAndReverse));

    auto call = [&](const std::vector<std::string>& tail) {
        std::vector<std::string> argv = {"busctl", "--system", "call", name, "/"};
        argv.insert(argv.end(), tail.begin(), tail.end());
        return ServeWhile(argv, &others[0]);
    };
    CommandResult allowed = call({"com.zel.vyrna", "StoreData", "ay", "1", "5"});
    EXPECT_EQ("ay 1 5\n", allowed.out) << allowed.err;
    CommandResult introspect = call({"org.freedesktop.DBus.Introspectable", "Introspect"});
    EXPECT_EQ(0, introspect.exitStatus) << introspect.err;
    CommandResult other = call({"org.freedesktop.DBus.Properties", "GetAll", "s", "x"});
    EXPECT_NE(0, other.exitStatus);
    EXPECT_NE(std::string::npos, other.err.find("denied")) << other.err;
    zeldbus_disconnect();

    // Another user may not own the name; anyone may own the console's.
    CommandResult own = zeltest::RunCommand(
        {"gdbus", "call", "--system", "--dest", "org.freedesktop.DBus", "--object-path",
         "/org/freedesktop/DBus", "--method", "org.freedesktop.DBus.RequestName", name, "4"},
        &others[0]);
    EXPECT_NE(0, own.exitStatus);
    CommandResult tester = zeltest::RunCommand(
        {"gdbus", "call", "--system", "--dest", "org.freedesktop.DBus", "--object-path",
         "/org/freedesktop/DBus", "--method", "org.freedesktop.DBus.RequestName",
         "com.zel.vyrna.SecurityTester", "4"},
        &others[0]);
    EXPECT_EQ("(uint32 1,)\n", tester.out) << tester.err;
}

}  // namespace
