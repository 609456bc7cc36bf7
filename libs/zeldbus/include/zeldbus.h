// zeldbus: one system-bus connection per process, reduced to a flat set of
// functions. A process owns one well-known bus name, registers handlers for
// methods ("interface.member"), calls zeldbus_mainLoop whenever the bus
// socket is readable, and answers each call by its serial number. Every
// method carries at most one argument, an array of bytes.
//
// The library is single-threaded: call it from one thread only. It starts no
// thread and never waits, except in synchronous calls, in the one-time user
// id query per peer and between reconnection attempts.
//
// Calls are served per calling user in turn: zeldbus_mainLoop takes in what
// has arrived and runs the handler of the next user's oldest call, so one
// user's many calls (over any number of connections) delay another user's
// call by about one call, not by all of them.
#ifndef ZELDBUS_H
#define ZELDBUS_H

#ifdef __cplusplus
extern "C" {
#endif

// Status codes of every zeldbus_ function.
enum {
    ZELDBUS_OK = 0,
    ZELDBUS_NOT_CONFIGURED = -1,  // also: no answer (calls), null async callback (mainLoop)
    ZELDBUS_NO_CONNECTION = -2,   // also: a message could not be queued
    ZELDBUS_BAD_ARGUMENT = -3,    // also: no pending call under a serial
    ZELDBUS_TABLE_FULL = -4,
    ZELDBUS_NO_SOCKET = -5,       // zeldbus_getFdSock without a connection
    ZELDBUS_CONNECTED = -6        // zeldbus_init while a connection exists
};

// Argument kinds of zeldbus_sendMessageSyncExt.
enum { ZELDBUS_ARG_STRING = 2, ZELDBUS_ARG_BYTES = 3 };

// (serial of the call or 0 for an asynchronous answer, bytes of the first
// argument or null, their count, Unix user id of the sender). The bytes
// belong to the message and are gone once the handler returns.
typedef void (*zeldbus_handler)(int serial, unsigned char* data, int length, unsigned int uid);

// Told with (0, descriptor) when a connection is made and (-1, old
// descriptor) before a lost one is dropped.
typedef void (*zeldbus_socket_callback)(int event, int descriptor);

int zeldbus_init(const char* path, const char* name, unsigned int maxHandlers,
                 zeldbus_socket_callback callback, int retries);
int zeldbus_connect(void);
void zeldbus_disconnect(void);
int zeldbus_getFdSock(void);
int zeldbus_subscribeToMessage(const char* method, zeldbus_handler handler);
int zeldbus_mainLoop(void);
int zeldbus_replyMessage(int serial, unsigned char* data, int length);

// Bounds what one user may have waiting for its turn: at most `calls` calls
// and `bytes` bytes of byte arrays (0: no bound). A call beyond either bound
// is answered at once with the string "TOO MANY REQUESTS" and its handler
// does not run. A call whose byte array alone is larger than `bytes` never
// waits: its handler runs at once, and must refuse it without further work
// (no call that large is valid). No bounds until this is called.
void zeldbus_setCallLimits(unsigned int calls, unsigned int bytes);

// With a non-zero value, zeldbus_connect also succeeds while another
// connection owns the bus name: this one then waits in the bus's queue for
// it. For a process that serves nothing, so that nobody can keep it from
// starting by holding its name. Call before zeldbus_connect.
void zeldbus_queueForName(int queue);

// Synchronous calls. The answer's first argument comes back as: a malloc'd
// copy of a byte array (length = count) or of a string with its zero byte
// (length = strlen + 1); for an unsigned 32-bit integer, a null buffer and
// the value in *answerLength. The caller frees the buffer. A result of 0 only
// means that some answer (possibly an error text) arrived.
//
// zeldbus_sendMessageSyncExt(path, destination, interface, member, kind,
//     argument (char* for kind 2, unsigned char* for kind 3), int count,
//     unsigned char** answer, int* answerLength)
int zeldbus_sendMessageSyncExt(const char* path, const char* destination, const char* interface,
                               const char* member, int kind, ...);
int zeldbus_sendMessageSyncPath(const char* path, const char* destination, const char* interface,
                                const char* member, unsigned char* data, int length,
                                unsigned char** answer, int* answerLength);
int zeldbus_sendMessageSync(const char* destination, const char* interface, const char* member,
                            unsigned char* data, int length, unsigned char** answer,
                            int* answerLength);

// Asynchronous calls: the answer reaches the callback from zeldbus_mainLoop
// with serial 0. An error answer, or none, leaves the callback registered
// until the connection is dropped.
int zeldbus_sendMessageAsync(const char* destination, const char* interface, const char* member,
                             unsigned char* data, int length, zeldbus_handler callback);
int zeldbus_sendMessageAsyncSeq(const char* destination, const char* interface,
                                const char* member, unsigned char* data, int length,
                                zeldbus_handler callback, int* serial);

#ifdef __cplusplus
}
#endif

#endif  // ZELDBUS_H
