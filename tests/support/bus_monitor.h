// Watches the private bus as a monitor (root only, as on the board), so tests
// can see messages that pass between other peers: replies sent to a peer that
// has gone, or how often the bus daemon was asked something.
#pragma once

#include <dbus/dbus.h>
#include <functional>
#include <string>
#include <vector>

namespace zeltest {

struct SeenMessage {
    int type;  // DBUS_MESSAGE_TYPE_*
    std::string sender, destination, interface, member;
    std::string firstString;  // first argument when it is a string
};

class BusMonitor {
public:
    BusMonitor();
    ~BusMonitor();
    // False when monitoring is refused (not root) or the bus is unreachable.
    bool start();
    // Reads what has arrived within waitMs and returns everything seen so far.
    const std::vector<SeenMessage>& poll(int waitMs = 100);
    size_t count(const std::function<bool(const SeenMessage&)>& match, int waitMs = 100);

private:
    DBusConnection* m_connection = nullptr;
    std::vector<SeenMessage> m_seen;
};

}  // namespace zeltest
