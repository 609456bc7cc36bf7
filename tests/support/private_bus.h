// A real dbus-daemon with the board's system-bus policy, private to one test
// process: socket in a temporary folder, clients pointed at it through
// DBUS_SYSTEM_BUS_ADDRESS. The daemon dies with the test process even when
// the test crashes (parent-death signal), and is stopped by the destructor.
#pragma once

#include <string>
#include <sys/types.h>

#include <gtest/gtest.h>

namespace zeltest {

class PrivateBus {
public:
    PrivateBus();
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // Starts the daemon on this bus's address and waits until it listens.
    // Restarting after stop() reuses the same address.
    bool start();
    void stop();
    bool running() const { return m_pid > 0; }

    const std::string& address() const { return m_address; }
    const std::string& directory() const { return m_dir; }

private:
    std::string m_dir;
    std::string m_address;
    pid_t m_pid = -1;
};

// One bus per test binary, started before the first test and stopped after
// the last: register with ::testing::AddGlobalTestEnvironment(new BusEnvironment).
class BusEnvironment : public ::testing::Environment {
public:
    void SetUp() override;
    void TearDown() override;
    static PrivateBus& bus();
};

}  // namespace zeltest
