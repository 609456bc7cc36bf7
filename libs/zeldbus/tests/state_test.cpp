// Status codes of the library's state machine.
#include "bus_fixture.h"

using namespace zeldbus_test;

namespace {

void Nop(int, unsigned char*, int, unsigned int) {}

class Unconfigured : public ::testing::Test {
protected:
    void SetUp() override { zeldbus_disconnect(); }
    void TearDown() override { zeldbus_disconnect(); }
};

// These run first in this binary, before any zeldbus_init.
TEST(BeforeInit, EveryOperationRefusesWithItsCode)
{
    unsigned char* answer = nullptr;
    int length = 0;
    EXPECT_EQ(-1, zeldbus_mainLoop());
    EXPECT_EQ(-3, zeldbus_connect());
    EXPECT_EQ(-5, zeldbus_getFdSock());
    EXPECT_EQ(0, zeldbus_replyMessage(0, nullptr, 0));
    EXPECT_EQ(-1, zeldbus_replyMessage(7, nullptr, 0));
    EXPECT_EQ(-1, zeldbus_sendMessageSync(kService, kInterface, "X", nullptr, 0, &answer, &length));
    EXPECT_EQ(-1, zeldbus_sendMessageAsync(kService, kInterface, "X", nullptr, 0, Nop));
}

TEST_F(Unconfigured, InitRefusesNullPathOrName)
{
    EXPECT_EQ(-3, zeldbus_init(nullptr, kService, 0, nullptr, 0));
    EXPECT_EQ(-3, zeldbus_init("/", nullptr, 0, nullptr, 0));
}

// Repeated init after a disconnect replaces the configuration; under
// LeakSanitizer the earlier copies must not be lost.
TEST_F(Unconfigured, InitAgainAfterDisconnectReplacesConfiguration)
{
    ASSERT_EQ(0, zeldbus_init("/first", "com.zel.test.First", 0, nullptr, 0));
    ASSERT_EQ(0, zeldbus_connect());
    zeldbus_disconnect();
    EXPECT_EQ(-5, zeldbus_getFdSock());
    ASSERT_EQ(0, zeldbus_init("/", kService, 0, nullptr, 0));
    ASSERT_EQ(0, zeldbus_connect());
    EXPECT_GE(zeldbus_getFdSock(), 0);
}

TEST_F(Unconfigured, InitWhileConnectedIsRefused)
{
    ASSERT_EQ(0, zeldbus_init("/", kService, 0, nullptr, 0));
    ASSERT_EQ(0, zeldbus_connect());
    EXPECT_EQ(-6, zeldbus_init("/", kService, 0, nullptr, 0));
    EXPECT_EQ(0, zeldbus_connect());  // already connected
}

// A disconnect keeps the configuration: connecting again needs no init and
// owns the name again.
TEST_F(Unconfigured, ConnectAgainAfterDisconnect)
{
    ASSERT_EQ(0, zeldbus_init("/", kService, 0, nullptr, 0));
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(0, zeldbus_connect()) << "round " << round;
        int fd = zeldbus_getFdSock();
        EXPECT_GE(fd, 0);
        zeldbus_disconnect();
        EXPECT_EQ(-5, zeldbus_getFdSock());
    }
}

TEST_F(Unconfigured, FirstConnectionCheckConnectsWithoutExplicitConnect)
{
    ASSERT_EQ(0, zeldbus_init("/", kService, 0, RecordSocket, 0));
    g_socketEvents.clear();
    EXPECT_EQ(0, zeldbus_mainLoop());
    ASSERT_EQ(2u, g_socketEvents.size());
    EXPECT_EQ(std::make_pair(-1, -5), g_socketEvents[0]);
    EXPECT_EQ(0, g_socketEvents[1].first);
    EXPECT_EQ(zeldbus_getFdSock(), g_socketEvents[1].second);
}

TEST_F(Unconfigured, ConnectFailsForNameThePolicyForbidsOrLibdbusRejects)
{
    for (const char* name : {"com.zel.forbidden.Name", "no-dot", "bad..name", ":1.5"}) {
        ASSERT_EQ(0, zeldbus_init("/", name, 0, nullptr, 0));
        EXPECT_EQ(-2, zeldbus_connect()) << name;
        EXPECT_EQ(-5, zeldbus_getFdSock()) << name;
    }
}

TEST_F(Unconfigured, HandlerLimitCountsEntriesEvenForReRegistration)
{
    ASSERT_EQ(0, zeldbus_init("/", kService, 2, nullptr, 0));
    EXPECT_EQ(0, zeldbus_subscribeToMessage("a.One", Nop));
    EXPECT_EQ(0, zeldbus_subscribeToMessage("a.One", Nop));  // replaces, still one entry
    EXPECT_EQ(0, zeldbus_subscribeToMessage("a.Two", Nop));
    EXPECT_EQ(-4, zeldbus_subscribeToMessage("a.Three", Nop));
    EXPECT_EQ(-4, zeldbus_subscribeToMessage("a.One", Nop));

    EXPECT_EQ(-3, zeldbus_subscribeToMessage(nullptr, Nop));
    EXPECT_EQ(-3, zeldbus_subscribeToMessage("", Nop));
    EXPECT_EQ(-3, zeldbus_subscribeToMessage("a.Four", nullptr));
}

TEST_F(Unconfigured, NoHandlerLimitWithZero)
{
    ASSERT_EQ(0, zeldbus_init("/", kService, 0, nullptr, 0));
    for (int i = 0; i < 300; ++i)
        ASSERT_EQ(0, zeldbus_subscribeToMessage(("a.M" + std::to_string(i)).c_str(), Nop));
}

class Replies : public ServiceTest {};

TEST_F(Replies, SecondReplyToTheSameSerialIsRefused)
{
    RawPeer peer;
    std::vector<unsigned char> bytes = {4, 5};
    DBusPendingCall* pending = peer.send("Silent", &bytes);
    ASSERT_TRUE(PumpUntil([] { return !g_calls.empty(); }));
    int serial = g_calls[0].serial;
    unsigned char answer[] = {9};
    EXPECT_EQ(0, zeldbus_replyMessage(serial, answer, 1));
    EXPECT_EQ(-3, zeldbus_replyMessage(serial, answer, 1));
    EXPECT_EQ(-3, zeldbus_replyMessage(serial + 1000, answer, 1));
    EXPECT_EQ(0, zeldbus_replyMessage(0, answer, 1));  // nothing to answer

    DBusMessage* reply = peer.answer(pending);
    ASSERT_NE(nullptr, reply);
    EXPECT_EQ(std::vector<unsigned char>{9}, BytesArg(reply));
    dbus_message_unref(reply);
}

TEST_F(Replies, ReplyWithoutDataGoesOutWithoutArguments)
{
    RawPeer peer;
    for (int length : {0, -1}) {
        g_calls.clear();
        DBusPendingCall* pending = peer.send("Silent", nullptr);
        ASSERT_TRUE(PumpUntil([] { return !g_calls.empty(); }));
        unsigned char byte = 1;
        EXPECT_EQ(0, zeldbus_replyMessage(g_calls[0].serial, length == 0 ? nullptr : &byte, length));
        DBusMessage* reply = peer.answer(pending);
        ASSERT_NE(nullptr, reply);
        EXPECT_EQ(DBUS_MESSAGE_TYPE_METHOD_RETURN, dbus_message_get_type(reply));
        EXPECT_STREQ("", dbus_message_get_signature(reply));
        dbus_message_unref(reply);
    }
}

}  // namespace
