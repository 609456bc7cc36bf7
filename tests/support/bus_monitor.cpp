#include "bus_monitor.h"

#include <chrono>

namespace zeltest {

namespace {

std::string Text(const char* s)
{
    return s != nullptr ? s : "";
}

}  // namespace

BusMonitor::BusMonitor() = default;

BusMonitor::~BusMonitor()
{
    if (m_connection != nullptr) {
        dbus_connection_close(m_connection);
        dbus_connection_unref(m_connection);
    }
}

bool BusMonitor::start()
{
    DBusError error;
    dbus_error_init(&error);
    m_connection = dbus_bus_get_private(DBUS_BUS_SYSTEM, &error);
    if (m_connection == nullptr) {
        dbus_error_free(&error);
        return false;
    }
    dbus_connection_set_exit_on_disconnect(m_connection, FALSE);
    DBusMessage* call = dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS,
                                                     DBUS_INTERFACE_MONITORING, "BecomeMonitor");
    DBusMessageIter args, rules;
    dbus_message_iter_init_append(call, &args);
    dbus_message_iter_open_container(&args, DBUS_TYPE_ARRAY, "s", &rules);
    dbus_message_iter_close_container(&args, &rules);  // no rules: everything
    dbus_uint32_t flags = 0;
    dbus_message_iter_append_basic(&args, DBUS_TYPE_UINT32, &flags);
    DBusMessage* reply = dbus_connection_send_with_reply_and_block(m_connection, call, -1, &error);
    dbus_message_unref(call);
    if (reply == nullptr) {
        dbus_error_free(&error);
        return false;
    }
    dbus_message_unref(reply);
    return true;
}

const std::vector<SeenMessage>& BusMonitor::poll(int waitMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (m_connection != nullptr) {
        DBusMessage* message = dbus_connection_pop_message(m_connection);
        if (message == nullptr) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !dbus_connection_read_write(m_connection, left.count()))
                break;
            continue;
        }
        SeenMessage seen{dbus_message_get_type(message),      Text(dbus_message_get_sender(message)),
                         Text(dbus_message_get_destination(message)),
                         Text(dbus_message_get_interface(message)),
                         Text(dbus_message_get_member(message)), ""};
        DBusMessageIter args;
        if (dbus_message_iter_init(message, &args)
            && dbus_message_iter_get_arg_type(&args) == DBUS_TYPE_STRING) {
            const char* s = nullptr;
            dbus_message_iter_get_basic(&args, &s);
            seen.firstString = Text(s);
        }
        m_seen.push_back(seen);
        dbus_message_unref(message);
    }
    return m_seen;
}

size_t BusMonitor::count(const std::function<bool(const SeenMessage&)>& match, int waitMs)
{
    size_t n = 0;
    for (const SeenMessage& m : poll(waitMs)) {
        if (match(m))
            ++n;
    }
    return n;
}

}  // namespace zeltest
