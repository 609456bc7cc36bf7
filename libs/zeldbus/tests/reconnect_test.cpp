// Losing the bus: the daemon is stopped and started again on the same
// address, or replaced by a socket that turns every connection away.
#include <atomic>
#include <mutex>
#include <chrono>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "bus_fixture.h"
#include "private_bus.h"

using namespace zeldbus_test;
using Clock = std::chrono::steady_clock;

namespace {

zeltest::PrivateBus& Bus()
{
    return zeltest::BusEnvironment::bus();
}

std::vector<std::string> CallReverse()
{
    return {"busctl", "--system", "call", kService, "/", kInterface, "Reverse", "ay", "2", "1", "2"};
}

// Listens where the bus socket was and closes every connection at once,
// noting when each attempt came.
class RefusingBus {
public:
    explicit RefusingBus(const std::string& path)
    {
        unlink(path.c_str());
        m_fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(m_fd, 16);
        m_thread = std::thread([this] {
            while (!m_stop) {
                int client = accept(m_fd, nullptr, nullptr);
                if (client < 0)
                    break;
                if (!m_stop) {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    m_attempts.push_back(Clock::now());
                }
                close(client);
            }
        });
        m_path = path;
    }
    ~RefusingBus()
    {
        m_stop = true;
        shutdown(m_fd, SHUT_RDWR);
        m_thread.join();
        close(m_fd);
        unlink(m_path.c_str());
    }
    // The attempts seen so far, after a moment for the last one to be noted.
    std::vector<Clock::time_point> attempts()
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_attempts;
    }

private:
    int m_fd;
    std::string m_path;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::vector<Clock::time_point> m_attempts;
    std::thread m_thread;
};

class Reconnection : public ServiceTest {
protected:
    void TearDown() override
    {
        ServiceTest::TearDown();
        if (!Bus().running()) {
            ASSERT_TRUE(Bus().start());
        }
    }

    // Reconfigures the service with the given number of retries.
    void UseRetries(int retries)
    {
        zeldbus_disconnect();
        ASSERT_EQ(0, zeldbus_init("/", kService, 0, RecordSocket, retries));
        ASSERT_EQ(0, zeldbus_connect());
        ASSERT_EQ(0, zeldbus_subscribeToMessage("com.zel.test.Reverse", RecordAndReverse));
        g_socketEvents.clear();
    }
};

TEST_F(Reconnection, RestartedDaemonIsReconnectedAndHandlersStillAnswer)
{
    ASSERT_EQ("ay 2 2 1\n", ServeWhile(CallReverse()).out);
    int before = zeldbus_getFdSock();
    g_socketEvents.clear();

    Bus().stop();
    ASSERT_TRUE(Bus().start());
    EXPECT_EQ(0, zeldbus_mainLoop());

    ASSERT_EQ(2u, g_socketEvents.size());
    EXPECT_EQ(std::make_pair(-1, before), g_socketEvents[0]);
    EXPECT_EQ(0, g_socketEvents[1].first);
    EXPECT_EQ(zeldbus_getFdSock(), g_socketEvents[1].second);
    EXPECT_GE(zeldbus_getFdSock(), 0);

    zeltest::CommandResult r = ServeWhile(CallReverse());
    EXPECT_EQ("ay 2 2 1\n", r.out) << r.err;
    EXPECT_EQ(2u, g_calls.size());
}

// Retries N: at most N + 1 attempts per connection check, 500 ms apart.
TEST_F(Reconnection, AttemptsAndPausesFollowTheRetryCount)
{
    for (int retries : {0, 3}) {
        if (!Bus().running()) {
            ASSERT_TRUE(Bus().start());
        }
        UseRetries(retries);
        Bus().stop();
        RefusingBus refusing(Bus().directory() + "/system_bus_socket");
        EXPECT_EQ(-2, zeldbus_mainLoop()) << "retries " << retries;
        std::vector<Clock::time_point> attempts = refusing.attempts();
        ASSERT_EQ(static_cast<size_t>(retries + 1), attempts.size()) << "retries " << retries;
        for (size_t i = 1; i < attempts.size(); ++i) {
            auto pause = std::chrono::duration_cast<std::chrono::milliseconds>(attempts[i] - attempts[i - 1]);
            EXPECT_GE(pause.count(), 480) << "pause " << i;
            EXPECT_LT(pause.count(), 1500) << "pause " << i;
        }
        EXPECT_EQ(-1, g_socketEvents.at(0).first);
        EXPECT_EQ(1u, g_socketEvents.size());  // never told of a new socket

        // A later check tries again.
        EXPECT_EQ(-2, zeldbus_replyMessage(5, nullptr, 0));
        EXPECT_EQ(static_cast<size_t>(2 * (retries + 1)), refusing.attempts().size());
    }
    ASSERT_TRUE(Bus().start());
    EXPECT_EQ(0, zeldbus_mainLoop());
    EXPECT_EQ("ay 2 2 1\n", ServeWhile(CallReverse()).out);
}

// Only libdbus's own notice means the bus is gone; a peer sending a signal
// named "Disconnected" must not make the service drop its connection.
TEST_F(Reconnection, PeerSignalNamedDisconnectedIsIgnored)
{
    int before = zeldbus_getFdSock();
    g_socketEvents.clear();
    for (const char* member : {"org.example.Any.Disconnected", "com.zel.test.Disconnected"}) {
        zeltest::CommandResult r = ServeWhile(
            {"dbus-send", "--system", "--type=signal", std::string("--dest=") + kService,
             "/", member});
        EXPECT_EQ(0, r.exitStatus) << r.err;
        EXPECT_EQ(0, zeldbus_mainLoop());
    }
    EXPECT_TRUE(g_socketEvents.empty());
    EXPECT_EQ(before, zeldbus_getFdSock());
    EXPECT_EQ("ay 2 2 1\n", ServeWhile(CallReverse()).out);
}

TEST_F(Reconnection, LostBusDropsPendingRepliesAndAsyncCallbacks)
{
    RawPeer peer;
    std::vector<unsigned char> bytes = {1};
    DBusPendingCall* pending = peer.send("Silent", &bytes);
    ASSERT_TRUE(PumpUntil([] { return !g_calls.empty(); }));
    int serial = g_calls[0].serial;
    dbus_pending_call_unref(pending);
    peer.close();

    Bus().stop();
    ASSERT_TRUE(Bus().start());
    EXPECT_EQ(-3, zeldbus_replyMessage(serial, bytes.data(), 1));  // reconnects, entry gone
}

}  // namespace
