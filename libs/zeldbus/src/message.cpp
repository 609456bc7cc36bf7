// Arguments of outgoing messages: the one place where the library appends
// what it sends (call arguments, method returns, error texts).
#include <cstring>

#include "internal.h"

namespace zeldbus {

bool appendBytes(DBusMessage* message, unsigned char* data, int length)
{
    if (data == nullptr || length <= 0)
        return true;
    return dbus_message_append_args(message, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE, &data, length,
                                    DBUS_TYPE_INVALID);
}

bool appendString(DBusMessage* message, const char* text)
{
    if (text == nullptr)
        return true;
    // libdbus aborts the process on a string that is not UTF-8.
    if (!dbus_validate_utf8(text, nullptr))
        return false;
    return dbus_message_append_args(message, DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
}

void wipeBytes(DBusMessage* message)
{
    unsigned char* data;
    int length;
    byteArgument(message, &data, &length);
    if (data != nullptr)
        explicit_bzero(data, static_cast<size_t>(length));
}

}  // namespace zeldbus
