// Many calls and hostile ones: nothing may pile up, leak or crash. Leaks are
// caught by LeakSanitizer when the suite runs in the sanitizer build.
#include <cstdlib>

#include "bus_fixture.h"
#include "internal.h"

using namespace zeldbus_test;

namespace {

class Load : public ServiceTest {};

TEST_F(Load, TenThousandCallsLeaveNothingPending)
{
    RawPeer peer;
    std::vector<unsigned char> bytes(64, 0x5a);
    constexpr int kCalls = 10000;
    constexpr int kBatch = 100;  // below the daemon's limit of pending replies
    int answered = 0;
    for (int done = 0; done < kCalls; done += kBatch) {
        std::vector<DBusPendingCall*> batch;
        for (int i = 0; i < kBatch; ++i)
            batch.push_back(peer.send(i % 2 ? "Reverse" : "Another", &bytes));
        for (DBusPendingCall* pending : batch) {
            DBusMessage* reply = peer.answer(pending);
            ASSERT_NE(nullptr, reply);
            answered += BytesArg(reply).size() == bytes.size();
            dbus_message_unref(reply);
        }
    }
    EXPECT_EQ(kCalls, answered);
    EXPECT_EQ(kCalls, static_cast<int>(g_calls.size()));
    EXPECT_TRUE(zeldbus::g_pendingReplies.isEmpty());
    EXPECT_EQ(1, zeldbus::g_UnixIds.size());
}

TEST_F(Load, TenThousandSyncCallsReleaseEveryAnswer)
{
    // The service calls the bus daemon; each answer buffer is the caller's to free.
    for (int i = 0; i < 10000; ++i) {
        unsigned char* buffer = nullptr;
        int length = 0;
        ASSERT_EQ(0, zeldbus_sendMessageSyncExt("/", "org.freedesktop.DBus", "org.freedesktop.DBus",
                                                "GetNameOwner", ZELDBUS_ARG_STRING, kService, 0,
                                                &buffer, &length));
        ASSERT_NE(nullptr, buffer);
        free(buffer);
    }
}

TEST_F(Load, UnansweredCallsAreReleasedWithTheConnection)
{
    RawPeer peer;
    std::vector<unsigned char> bytes = {1};
    std::vector<DBusPendingCall*> pending;
    for (int i = 0; i < 50; ++i)
        pending.push_back(peer.send("Silent", &bytes));
    ASSERT_TRUE(PumpUntil([] { return g_calls.size() == 50; }));
    EXPECT_EQ(50, zeldbus::g_pendingReplies.size());
    zeldbus_disconnect();
    EXPECT_TRUE(zeldbus::g_pendingReplies.isEmpty());
    for (DBusPendingCall* p : pending)
        dbus_pending_call_unref(p);
}

TEST_F(Load, LargeArraysArriveWhole)
{
    RawPeer peer;
    for (size_t size : {size_t(1) << 16, size_t(4) << 20}) {
        g_calls.clear();
        std::vector<unsigned char> bytes(size);
        for (size_t i = 0; i < size; ++i)
            bytes[i] = static_cast<unsigned char>(i * 7);
        DBusMessage* reply = peer.answer(peer.send("Reverse", &bytes));
        ASSERT_NE(nullptr, reply);
        std::vector<unsigned char> back = BytesArg(reply);
        dbus_message_unref(reply);
        ASSERT_EQ(1u, g_calls.size());
        EXPECT_EQ(bytes, g_calls[0].data);
        EXPECT_EQ(static_cast<int>(size), g_calls[0].length);
        EXPECT_EQ(std::vector<unsigned char>(bytes.rbegin(), bytes.rend()), back);
    }
}

// Oddly shaped calls from an outside client: nothing crashes, and the service
// keeps answering afterwards.
TEST_F(Load, OddCallsFromOutsideDoNotHurt)
{
    const std::vector<std::vector<std::string>> tails = {
        {"/", kInterface, "Reverse", "a(yy)", "2", "1", "2", "3", "4"},
        {"/", kInterface, "Reverse", "aay", "2", "1", "7", "0"},
        {"/", kInterface, "Reverse", "v", "ay", "1", "1"},
        {"/", kInterface, "Reverse", "ayay", "1", "1", "1", "2"},
        {"/", "com.zel.other", "Reverse", "ay", "1", "1"},
        {"/", "org.freedesktop.DBus.Introspectable", "Introspect", "s", "extra"},
        {"/", "org.freedesktop.DBus.Properties", "Get", "ss", "a", "b"},
    };
    for (const auto& tail : tails) {
        std::vector<std::string> argv = {"busctl", "--system", "call", kService};
        argv.insert(argv.end(), tail.begin(), tail.end());
        ServeWhile(argv);
    }
    zeltest::CommandResult r = ServeWhile(
        {"busctl", "--system", "call", kService, "/", kInterface, "Reverse", "ay", "2", "1", "2"});
    EXPECT_EQ("ay 2 2 1\n", r.out) << r.err;
    // "ayay" and "Reverse" with ay first reached the handler with bytes.
    int withBytes = 0;
    for (const Call& c : g_calls)
        withBytes += !c.nullData;
    EXPECT_EQ(2, withBytes);
}

}  // namespace
