// Round trips per second of a synchronous call with a 16-byte array: a
// zeldbus client calling a zeldbus server, against the same exchange written
// with bare libdbus on both sides, on one private system bus in one run.
//
// Usage: zeldbus_roundtrip [calls per round] [rounds]
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <dbus/dbus.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "private_bus.h"
#include "zeldbus.h"

namespace {

constexpr const char* kZeldbusServer = "com.zel.test.BenchZeldbus";
constexpr const char* kBareServer = "com.zel.test.BenchBare";
constexpr const char* kInterface = "com.zel.test";

void Echo(int serial, unsigned char* data, int length, unsigned int)
{
    zeldbus_replyMessage(serial, data, length);
}

[[noreturn]] void ServeWithZeldbus()
{
    if (zeldbus_init("/", kZeldbusServer, 0, nullptr, 0) != 0 || zeldbus_connect() != 0
        || zeldbus_subscribeToMessage("com.zel.test.Echo", Echo) != 0)
        _exit(1);
    for (;;) {
        zeldbus_mainLoop();
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(zeldbus_getFdSock(), &readable);
        if (select(zeldbus_getFdSock() + 1, &readable, nullptr, nullptr, nullptr) <= 0)
            _exit(0);
    }
}

bool WaitForName(DBusConnection* connection, const char* name)
{
    for (int i = 0; i < 500; ++i) {
        if (dbus_bus_name_has_owner(connection, name, nullptr))
            return true;
        usleep(10 * 1000);
    }
    return false;
}

double RatePerSecond(int calls, const std::function<bool()>& call)
{
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < calls; ++i) {
        if (!call()) {
            std::fprintf(stderr, "call %d failed\n", i);
            std::exit(1);
        }
    }
    std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
    return calls / spent.count();
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv)
{
    int calls = argc > 1 ? std::atoi(argv[1]) : 5000;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    zeltest::PrivateBus bus;
    if (!bus.start()) {
        std::fprintf(stderr, "dbus-daemon did not start\n");
        return 1;
    }
    pid_t zeldbusServer = fork();
    if (zeldbusServer == 0)
        ServeWithZeldbus();
    pid_t bareServer = fork();
    if (bareServer == 0) {
        execl(ZEL_BARE_ECHO_SERVICE, ZEL_BARE_ECHO_SERVICE, kBareServer, static_cast<char*>(nullptr));
        _exit(127);
    }

    DBusConnection* bare = dbus_bus_get_private(DBUS_BUS_SYSTEM, nullptr);
    if (bare == nullptr || !WaitForName(bare, kZeldbusServer) || !WaitForName(bare, kBareServer)) {
        std::fprintf(stderr, "servers did not come up\n");
        return 1;
    }
    if (zeldbus_init("/", "com.zel.test.BenchClient", 0, nullptr, 0) != 0 || zeldbus_connect() != 0) {
        std::fprintf(stderr, "zeldbus client did not connect\n");
        return 1;
    }

    unsigned char payload[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    auto zeldbusCall = [&] {
        unsigned char* answer = nullptr;
        int length = 0;
        int status = zeldbus_sendMessageSync(kZeldbusServer, kInterface, "Echo", payload,
                                             sizeof payload, &answer, &length);
        free(answer);
        return status == 0 && length == 16;
    };
    auto bareCall = [&] {
        DBusMessage* call = dbus_message_new_method_call(kBareServer, "/", kInterface, "Echo");
        const unsigned char* bytes = payload;
        dbus_message_append_args(call, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE, &bytes,
                                 static_cast<int>(sizeof payload), DBUS_TYPE_INVALID);
        DBusMessage* reply = dbus_connection_send_with_reply_and_block(bare, call, -1, nullptr);
        dbus_message_unref(call);
        if (reply == nullptr)
            return false;
        dbus_message_unref(reply);
        return true;
    };

    RatePerSecond(calls / 5, zeldbusCall);  // warm up both paths
    RatePerSecond(calls / 5, bareCall);
    std::vector<double> withZeldbus, withBare;
    for (int round = 0; round < rounds; ++round) {
        withZeldbus.push_back(RatePerSecond(calls, zeldbusCall));
        withBare.push_back(RatePerSecond(calls, bareCall));
        std::printf("round %d: zeldbus %.0f/s, bare libdbus %.0f/s\n", round + 1,
                    withZeldbus.back(), withBare.back());
    }
    double z = Median(withZeldbus), b = Median(withBare);
    std::printf("synchronous round trips, 16-byte array, %d calls x %d rounds (median):\n", calls,
                rounds);
    std::printf("  zeldbus client -> zeldbus server:   %8.0f /s\n", z);
    std::printf("  libdbus client -> libdbus server:   %8.0f /s\n", b);
    std::printf("  zeldbus / bare libdbus:             %8.3f\n", z / b);

    zeldbus_disconnect();
    dbus_connection_close(bare);
    dbus_connection_unref(bare);
    kill(zeldbusServer, SIGTERM);
    kill(bareServer, SIGTERM);
    waitpid(zeldbusServer, nullptr, 0);
    waitpid(bareServer, nullptr, 0);
    return 0;
}
