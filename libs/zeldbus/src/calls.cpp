// Outgoing calls: synchronous ones that hand the answer back in a heap
// buffer, and asynchronous ones answered later through zeldbus_mainLoop.
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "internal.h"

namespace zeldbus {

namespace {

// libdbus aborts the process when handed a malformed name, so everything that
// reaches it is validated first.
bool ValidCallTarget(const char* path, const char* destination, const char* interface,
                     const char* member)
{
    return path != nullptr && dbus_validate_path(path, nullptr) && checkName(destination)
           && dbus_validate_bus_name(destination, nullptr) && interface != nullptr
           && dbus_validate_interface(interface, nullptr) && member != nullptr
           && dbus_validate_member(member, nullptr);
}

unsigned char* CopyOf(const void* bytes, size_t count)
{
    // malloc(0) may return null; an empty answer still gets a buffer.
    auto* copy = static_cast<unsigned char*>(malloc(count > 0 ? count : 1));
    if (copy != nullptr && count > 0)
        memcpy(copy, bytes, count);
    return copy;
}

// Decodes the first argument of an answer into the caller's places.
// Returns -1 only when the buffer could not be allocated.
int TakeAnswer(DBusMessage* answer, unsigned char** buffer, int* length)
{
    DBusMessageIter args;
    if (!dbus_message_iter_init(answer, &args))
        return ZELDBUS_OK;
    switch (dbus_message_iter_get_arg_type(&args)) {
    case DBUS_TYPE_STRING: {
        const char* text = nullptr;
        dbus_message_iter_get_basic(&args, &text);
        size_t size = strlen(text) + 1;
        *buffer = CopyOf(text, size);
        if (*buffer == nullptr)
            return ZELDBUS_NOT_CONFIGURED;
        *length = static_cast<int>(size);
        return ZELDBUS_OK;
    }
    case DBUS_TYPE_UINT32: {
        dbus_uint32_t value = 0;
        dbus_message_iter_get_basic(&args, &value);
        *buffer = nullptr;
        *length = static_cast<int>(value);
        return ZELDBUS_OK;
    }
    case DBUS_TYPE_ARRAY: {
        if (dbus_message_iter_get_element_type(&args) != DBUS_TYPE_BYTE)
            return ZELDBUS_OK;
        DBusMessageIter elements;
        dbus_message_iter_recurse(&args, &elements);
        unsigned char* bytes = nullptr;
        int count = 0;
        dbus_message_iter_get_fixed_array(&elements, &bytes, &count);
        *buffer = CopyOf(bytes, static_cast<size_t>(count));
        if (*buffer == nullptr)
            return ZELDBUS_NOT_CONFIGURED;
        *length = count;
        return ZELDBUS_OK;
    }
    default:
        return ZELDBUS_OK;
    }
}

}  // namespace

}  // namespace zeldbus

using namespace zeldbus;

int zeldbus_sendMessageSyncExt(const char* path, const char* destination, const char* interface,
                               const char* member, int kind, ...)
{
    va_list rest;
    va_start(rest, kind);
    void* argument = va_arg(rest, void*);
    int count = va_arg(rest, int);
    unsigned char** answer = va_arg(rest, unsigned char**);
    int* answerLength = va_arg(rest, int*);
    va_end(rest);

    int status = checkConnection();
    if (status != ZELDBUS_OK)
        return status;
    // The length place is checked as well as the buffer place: writing an
    // answer length through a null pointer would crash the caller.
    if (answer == nullptr || answerLength == nullptr
        || !ValidCallTarget(path, destination, interface, member))
        return ZELDBUS_BAD_ARGUMENT;

    Message call(dbus_message_new_method_call(destination, path, interface, member));
    if (!call)
        return ZELDBUS_NO_CONNECTION;
    bool appended = true;
    if (kind == ZELDBUS_ARG_STRING)
        appended = appendString(call.get(), static_cast<const char*>(argument));
    else if (kind == ZELDBUS_ARG_BYTES)
        appended = appendBytes(call.get(), static_cast<unsigned char*>(argument), count);
    if (!appended)
        return ZELDBUS_BAD_ARGUMENT;

    DBusPendingCall* pending = nullptr;
    if (!dbus_connection_send_with_reply(g_dbusLibConnection, call.get(), &pending,
                                         DBUS_TIMEOUT_USE_DEFAULT)
        || pending == nullptr)
        return ZELDBUS_NOT_CONFIGURED;

    dbus_pending_call_block(pending);
    const Message reply(dbus_pending_call_steal_reply(pending));
    dbus_pending_call_unref(pending);
    // Bytes sent and received may be secrets; the messages' copies are
    // wiped before libdbus frees them, the call's once it is written out.
    if (kind == ZELDBUS_ARG_BYTES) {
        dbus_connection_flush(g_dbusLibConnection);
        wipeBytes(call.get());
    }
    if (!reply)
        return ZELDBUS_NOT_CONFIGURED;
    status = TakeAnswer(reply.get(), answer, answerLength);
    wipeBytes(reply.get());
    return status;
}

int zeldbus_sendMessageSyncPath(const char* path, const char* destination, const char* interface,
                                const char* member, unsigned char* data, int length,
                                unsigned char** answer, int* answerLength)
{
    return zeldbus_sendMessageSyncExt(path, destination, interface, member, ZELDBUS_ARG_BYTES,
                                      data, length, answer, answerLength);
}

int zeldbus_sendMessageSync(const char* destination, const char* interface, const char* member,
                            unsigned char* data, int length, unsigned char** answer,
                            int* answerLength)
{
    return zeldbus_sendMessageSyncPath(g_dbusLibPath, destination, interface, member, data,
                                       length, answer, answerLength);
}

int zeldbus_sendMessageAsyncSeq(const char* destination, const char* interface,
                                const char* member, unsigned char* data, int length,
                                zeldbus_handler callback, int* serial)
{
    int status = checkConnection();
    if (status != ZELDBUS_OK)
        return status;
    if (!ValidCallTarget(g_dbusLibPath, destination, interface, member))
        return ZELDBUS_BAD_ARGUMENT;

    Message call(dbus_message_new_method_call(destination, g_dbusLibPath, interface, member));
    if (!call)
        return ZELDBUS_NO_CONNECTION;
    if (!appendBytes(call.get(), data, length))
        return ZELDBUS_BAD_ARGUMENT;
    dbus_uint32_t sent = 0;
    if (!dbus_connection_send(g_dbusLibConnection, call.get(), &sent))
        return ZELDBUS_NO_CONNECTION;
    g_responseCallbacks.insert(static_cast<int>(sent), callback);
    if (serial != nullptr)
        *serial = static_cast<int>(sent);
    return ZELDBUS_OK;
}

int zeldbus_sendMessageAsync(const char* destination, const char* interface, const char* member,
                             unsigned char* data, int length, zeldbus_handler callback)
{
    return zeldbus_sendMessageAsyncSeq(destination, interface, member, data, length, callback,
                                       nullptr);
}
