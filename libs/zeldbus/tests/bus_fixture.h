// Common ground of the zeldbus suites: a service built on zeldbus inside the
// test process, handlers that record what they were given, a way to keep it
// serving while an outside client runs, and a raw libdbus peer.
#pragma once

#include <dbus/dbus.h>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "run_command.h"
#include "zeldbus.h"

namespace zeldbus_test {

constexpr const char* kService = "com.zel.test.Zeldbus";
constexpr const char* kInterface = "com.zel.test";

struct Call {
    int serial;
    bool nullData;
    std::vector<unsigned char> data;
    int length;
    unsigned int uid;
};

// Every handler invocation, oldest first.
extern std::vector<Call> g_calls;
// Socket callback events (event, descriptor).
extern std::vector<std::pair<int, int>> g_socketEvents;

// Records the call and answers with the bytes reversed.
void RecordAndReverse(int serial, unsigned char* data, int length, unsigned int uid);
// Records the call and does not answer.
void RecordOnly(int serial, unsigned char* data, int length, unsigned int uid);
void RecordSocket(int event, int descriptor);

// Runs zeldbus_mainLoop whenever the socket is readable until done() holds
// or timeoutMs passed. Returns done().
bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 10000);

// Runs an outside program while the service keeps serving.
zeltest::CommandResult ServeWhile(const std::vector<std::string>& argv,
                                  const zeltest::RunAs* as = nullptr);

// A bus peer with its own private libdbus connection, for cases that need
// control over one peer's calls (several calls from one peer, a peer that
// leaves before its answer).
class RawPeer {
public:
    RawPeer();
    ~RawPeer();
    const char* uniqueName() const;
    // Sends a call to the zeldbus service; data null means no argument.
    DBusPendingCall* send(const char* member, const std::vector<unsigned char>* data,
                          const char* path = "/");
    // Waits for the answer while the service keeps serving; null on time-out.
    DBusMessage* answer(DBusPendingCall* pending);
    void close();
    DBusConnection* connection() { return m_connection; }

private:
    DBusConnection* m_connection = nullptr;
};

// First argument of a message as text (strings) or bytes (ay).
std::string StringArg(DBusMessage* message);
std::vector<unsigned char> BytesArg(DBusMessage* message, bool* present = nullptr);

// Base fixture: the zeldbus service is up with three handlers registered.
class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

}  // namespace zeldbus_test
