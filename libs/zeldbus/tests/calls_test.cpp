// Outgoing calls, against the bus daemon and a peer written with bare libdbus.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <csignal>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bus_fixture.h"

using namespace zeldbus_test;

namespace {

constexpr const char* kEcho = "com.zel.test.BareEcho";

struct Answer {
    int status;
    std::vector<unsigned char> bytes;
    bool buffer;
    int length;
};

std::string Hex(const std::string& text)
{
    std::string hex;
    char digits[3];
    for (unsigned char c : text) {
        snprintf(digits, sizeof digits, "%02x", c);
        hex += digits;
    }
    return hex;
}

Answer SyncEcho(unsigned char* data, int length, const char* member = "Echo")
{
    unsigned char* buffer = nullptr;
    int answerLength = -77;
    Answer a;
    a.status = zeldbus_sendMessageSync(kEcho, kInterface, member, data, length, &buffer, &answerLength);
    a.buffer = buffer != nullptr;
    a.length = answerLength;
    if (buffer != nullptr && answerLength > 0)
        a.bytes.assign(buffer, buffer + answerLength);
    free(buffer);
    return a;
}

class Calls : public ServiceTest {
protected:
    static void SetUpTestSuite()
    {
        int out[2];
        ASSERT_EQ(0, pipe(out));
        s_echo = fork();
        if (s_echo == 0) {
            dup2(out[1], 1);
            execl(ZEL_BARE_ECHO_SERVICE, ZEL_BARE_ECHO_SERVICE, kEcho, static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        char ready[16] = {};
        ASSERT_GT(read(out[0], ready, sizeof ready - 1), 0) << "echo service did not start";
        close(out[0]);
    }
    static void TearDownTestSuite()
    {
        kill(s_echo, SIGTERM);
        waitpid(s_echo, nullptr, 0);
    }
    static pid_t s_echo;
};
pid_t Calls::s_echo = -1;

TEST_F(Calls, SyncByteArrayAnswers)
{
    unsigned char five[] = {1, 2, 3, 4, 0};
    Answer a = SyncEcho(five, 5);
    EXPECT_EQ(0, a.status);
    EXPECT_EQ(5, a.length);
    EXPECT_EQ(std::vector<unsigned char>(five, five + 5), a.bytes);

    Answer empty = SyncEcho(nullptr, 0, "Empty");
    EXPECT_EQ(0, empty.status);
    EXPECT_TRUE(empty.buffer);
    EXPECT_EQ(0, empty.length);
}

TEST_F(Calls, SyncCallWithoutBytesSendsNoArgument)
{
    unsigned char byte = 1;
    for (auto [data, count] : {std::pair<unsigned char*, int>{nullptr, 5}, {&byte, 0}, {&byte, -3}}) {
        Answer a = SyncEcho(data, count);
        EXPECT_EQ(0, a.status);
        EXPECT_EQ("signature:", std::string(a.bytes.begin(), a.bytes.end() - 1));
    }
    unsigned char* buffer = nullptr;
    int length = -1;
    EXPECT_EQ(0, zeldbus_sendMessageSyncExt("/", kEcho, kInterface, "Echo", 99, &byte, 1,
                                            &buffer, &length));
    EXPECT_STREQ("signature:", reinterpret_cast<char*>(buffer));
    free(buffer);
    EXPECT_EQ(0, zeldbus_sendMessageSyncExt("/", kEcho, kInterface, "Echo", ZELDBUS_ARG_STRING,
                                            "text", 0, &buffer, &length));
    EXPECT_STREQ("signature:s", reinterpret_cast<char*>(buffer));
    free(buffer);
}

TEST_F(Calls, SyncStringAnswerKeepsItsZeroByte)
{
    Answer a = SyncEcho(nullptr, 0);  // no argument: the peer answers a string
    EXPECT_EQ(0, a.status);
    ASSERT_TRUE(a.buffer);
    EXPECT_EQ(11, a.length);
    EXPECT_EQ(std::string("signature:", 11), std::string(a.bytes.begin(), a.bytes.end()));
}

// Another process on zeldbus calls this test's service: a method nobody
// registered comes back as the text with its zero byte, a registered one as
// the handler's bytes.
TEST_F(Calls, SyncAnswersFromAZeldbusService)
{
    zeltest::CommandResult missing = ServeWhile(
        {ZELDBUS_CALL, "com.zel.test.Client", kService, kInterface, "Missing", "01"});
    EXPECT_EQ("status=0 length=19 buffer=" + Hex("Callback not found") + "00\n", missing.out)
        << missing.err;

    zeltest::CommandResult reversed = ServeWhile(
        {ZELDBUS_CALL, "com.zel.test.Client", kService, kInterface, "Reverse", "0102ff"});
    EXPECT_EQ("status=0 length=3 buffer=ff0201\n", reversed.out) << reversed.err;

    // A handler that answers with nothing leaves the places as they were.
    zeltest::CommandResult silent = ServeWhile(
        {ZELDBUS_CALL, "com.zel.test.Client", kService, kInterface, "Reverse"});
    EXPECT_EQ("status=0 length=-1 buffer=none\n", silent.out) << silent.err;
}

TEST_F(Calls, SyncUint32AnswerComesBackAsLength)
{
    unsigned char* buffer = reinterpret_cast<unsigned char*>(0x1);
    int length = -1;
    EXPECT_EQ(0, zeldbus_sendMessageSyncExt("/", "org.freedesktop.DBus", "org.freedesktop.DBus",
                                            "GetConnectionUnixUser", ZELDBUS_ARG_STRING,
                                            "org.freedesktop.DBus", 0, &buffer, &length));
    EXPECT_EQ(nullptr, buffer);
    EXPECT_EQ(static_cast<int>(getuid()), length);
}

TEST_F(Calls, ErrorAnswersArriveAsText)
{
    Answer a = SyncEcho(nullptr, 0, "NoSuchMethod");
    EXPECT_EQ(0, a.status);
    EXPECT_EQ("no such method", std::string(a.bytes.begin(), a.bytes.end() - 1));
}

TEST_F(Calls, BadArgumentsAreRefusedWithoutSending)
{
    unsigned char byte = 1;
    unsigned char* buffer = nullptr;
    int length = 0;
    struct Case {
        const char *path, *destination, *interface, *member;
        unsigned char** buffer;
        int* length;
    };
    const Case cases[] = {
        {"/", "nodot", kInterface, "Echo", &buffer, &length},
        {"/", "trailing.", kInterface, "Echo", &buffer, &length},
        {"/", nullptr, kInterface, "Echo", &buffer, &length},
        {"/", kEcho, nullptr, "Echo", &buffer, &length},
        {"/", kEcho, kInterface, nullptr, &buffer, &length},
        {"/", kEcho, kInterface, "Echo", nullptr, &length},
        {"/", kEcho, kInterface, "Echo", &buffer, nullptr},  // no place for the length
        // Names libdbus itself would reject (and abort on):
        {"/", "com..zel", kInterface, "Echo", &buffer, &length},
        {"/", kEcho, "nodot", "Echo", &buffer, &length},
        {"/", kEcho, kInterface, "Bad.Member", &buffer, &length},
        {"relative", kEcho, kInterface, "Echo", &buffer, &length},
        {nullptr, kEcho, kInterface, "Echo", &buffer, &length},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(-3, zeldbus_sendMessageSyncPath(c.path, c.destination, c.interface, c.member,
                                                  &byte, 1, c.buffer, c.length));
        EXPECT_EQ(nullptr, buffer);
    }
    EXPECT_EQ(-3, zeldbus_sendMessageSyncExt("/", kEcho, kInterface, "Echo", ZELDBUS_ARG_STRING,
                                             "\xff\xfe not utf-8", 0, &buffer, &length));
}

TEST_F(Calls, AsyncCallbackRunsWithSerialZeroAndThePeersUid)
{
    unsigned char bytes[] = {7, 8, 9};
    int serial = 0;
    ASSERT_EQ(0, zeldbus_sendMessageAsyncSeq(kEcho, kInterface, "Echo", bytes, 3, RecordOnly, &serial));
    EXPECT_GT(serial, 0);
    ASSERT_TRUE(PumpUntil([] { return !g_calls.empty(); }));
    EXPECT_EQ(0, g_calls[0].serial);
    EXPECT_EQ((std::vector<unsigned char>{7, 8, 9}), g_calls[0].data);
    EXPECT_EQ(getuid(), g_calls[0].uid);

    // Without a serial place, and with an answer that is not a byte array.
    g_calls.clear();
    ASSERT_EQ(0, zeldbus_sendMessageAsync(kEcho, kInterface, "Echo", nullptr, 0, RecordOnly));
    ASSERT_TRUE(PumpUntil([] { return !g_calls.empty(); }));
    EXPECT_TRUE(g_calls[0].nullData);
    EXPECT_EQ(0, g_calls[0].length);
}

TEST_F(Calls, AsyncErrorAnswerLeavesCallbackRegisteredAndNullCallbackStopsDispatch)
{
    // The error answer to the first call comes before the answer to the
    // second, whose null callback stops the dispatch.
    ASSERT_EQ(0, zeldbus_sendMessageAsync(kEcho, kInterface, "NoSuchMethod", nullptr, 0, RecordOnly));
    ASSERT_EQ(0, zeldbus_sendMessageAsync(kEcho, kInterface, "Echo", nullptr, 0, nullptr));
    // The loop is run here only: PumpUntil runs it once more of its own
    // between two looks at the condition and would drop the stop it reports.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    int result = 0;
    while ((result = zeldbus_mainLoop()) == 0 && std::chrono::steady_clock::now() < deadline) {
        pollfd fd{zeldbus_getFdSock(), POLLIN, 0};
        ::poll(&fd, 1, 10);
    }
    EXPECT_EQ(-1, result);
    EXPECT_TRUE(g_calls.empty());
}

TEST_F(Calls, AsyncRefusesNamesLibdbusWouldReject)
{
    const char* bad[][3] = {
        {"nodot", kInterface, "Echo"},     {kEcho, "nodot", "Echo"},
        {kEcho, kInterface, "Bad.Member"}, {kEcho, nullptr, "Echo"},
        {kEcho, kInterface, nullptr},      {"com..zel", kInterface, "Echo"},
    };
    for (auto& b : bad)
        EXPECT_EQ(-3, zeldbus_sendMessageAsync(b[0], b[1], b[2], nullptr, 0, RecordOnly));
}

}  // namespace
