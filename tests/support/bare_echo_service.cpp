// A bus peer written with bare libdbus only, for tests and benchmarks that
// need a partner outside zeldbus. Owns the name given as argument; answers
//   Echo(ay)      with the same bytes as ay (empty arrays too),
//   Echo(other)   with the string "signature:<signature of the call>",
//   Empty()       with an empty ay,
//   Quit()        with no argument, then exits.
// Usage: zel_bare_echo_service <bus name>
#include <cstdio>
#include <cstring>
#include <dbus/dbus.h>
#include <string>

namespace {

DBusMessage* Answer(DBusMessage* call)
{
    DBusMessage* reply = dbus_message_new_method_return(call);
    DBusMessageIter args;
    if (dbus_message_iter_init(call, &args) && dbus_message_iter_get_arg_type(&args) == DBUS_TYPE_ARRAY
        && dbus_message_iter_get_element_type(&args) == DBUS_TYPE_BYTE) {
        DBusMessageIter elements;
        dbus_message_iter_recurse(&args, &elements);
        const unsigned char* bytes = nullptr;
        int count = 0;
        dbus_message_iter_get_fixed_array(&elements, &bytes, &count);
        dbus_message_append_args(reply, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE, &bytes, count,
                                 DBUS_TYPE_INVALID);
    } else {
        std::string text = std::string("signature:") + dbus_message_get_signature(call);
        const char* p = text.c_str();
        dbus_message_append_args(reply, DBUS_TYPE_STRING, &p, DBUS_TYPE_INVALID);
    }
    return reply;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <bus name>\n", argv[0]);
        return 2;
    }
    DBusError error;
    dbus_error_init(&error);
    DBusConnection* connection = dbus_bus_get_private(DBUS_BUS_SYSTEM, &error);
    if (connection == nullptr) {
        std::fprintf(stderr, "connect: %s\n", error.message);
        return 1;
    }
    dbus_connection_set_exit_on_disconnect(connection, FALSE);
    if (dbus_bus_request_name(connection, argv[1], DBUS_NAME_FLAG_DO_NOT_QUEUE, &error)
        != DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) {
        std::fprintf(stderr, "cannot own %s\n", argv[1]);
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);

    bool running = true;
    while (running && dbus_connection_read_write(connection, -1)) {
        while (DBusMessage* message = dbus_connection_pop_message(connection)) {
            if (dbus_message_get_type(message) == DBUS_MESSAGE_TYPE_METHOD_CALL) {
                DBusMessage* reply = nullptr;
                if (strcmp(dbus_message_get_member(message), "Quit") == 0) {
                    reply = dbus_message_new_method_return(message);
                    running = false;
                } else if (strcmp(dbus_message_get_member(message), "Empty") == 0) {
                    reply = dbus_message_new_method_return(message);
                    const unsigned char* none = nullptr;
                    dbus_message_append_args(reply, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE, &none, 0,
                                             DBUS_TYPE_INVALID);
                } else if (strcmp(dbus_message_get_member(message), "Echo") == 0) {
                    reply = Answer(message);
                } else {
                    reply = dbus_message_new_error(message, DBUS_ERROR_UNKNOWN_METHOD, "no such method");
                }
                dbus_connection_send(connection, reply, nullptr);
                dbus_message_unref(reply);
            }
            dbus_message_unref(message);
        }
    }
    dbus_connection_flush(connection);
    dbus_connection_close(connection);
    dbus_connection_unref(connection);
    dbus_shutdown();
    return 0;
}
