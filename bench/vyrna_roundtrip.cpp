// Sequential round trips to a bus peer with plain libdbus, for the service
// benchmark: one call at a time, each waiting for its answer.
//
//   vyrna_roundtrip <bus address> store|retrieve|echo|fill <bytes> <calls> [first token]
//   vyrna_roundtrip <directory> replace <bytes> <calls>
//   vyrna_roundtrip <bus address> startup <runs> <service program>
//
// store: StoreData of <bytes> secret bytes, always under token 0x5EC2E7
// (an overwrite after the first call); retrieve: RetrieveData of that token
// (stored once first); echo: Echo(ay) of <bytes> bytes to com.zel.test.Echo;
// fill: StoreData of new items under tokens from [first token] on;
// replace: no bus, the bare durable replace of one file of <bytes> bytes in
// the directory, as a store of it would be done at the least (write a
// temporary, flush it, rename it over the file, flush the directory).
// startup: starts the program <runs> times, one after the other, each time
// measuring from the start to the bus's announcement that the service's
// name has its owner (a signal, so nothing polls the bus meanwhile), then
// noting its resident memory and stopping it (SIGTERM).
// Prints "<calls> calls in <s> s: <calls/s> calls/s", or for startup a line
// "startup_ms <ms> rss_kb <kB>" per run.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dbus/dbus.h>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const char kService[] = "com.zel.vyrna.SecurityManager";
const unsigned kToken = 0x5EC2E7;

void PutWord(std::vector<unsigned char>& bytes, unsigned value)
{
    for (int i = 0; i < 4; ++i)
        bytes.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

// One call; the first answer byte (status), or -1 when no byte answer came.
int Call(DBusConnection* connection, const char* destination, const char* interface,
         const char* member, const std::vector<unsigned char>& payload)
{
    DBusMessage* call = dbus_message_new_method_call(destination, "/", interface, member);
    const unsigned char* bytes = payload.data();
    dbus_message_append_args(call, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE, &bytes,
                             static_cast<int>(payload.size()), DBUS_TYPE_INVALID);
    DBusError error;
    dbus_error_init(&error);
    DBusMessage* reply = dbus_connection_send_with_reply_and_block(connection, call, -1, &error);
    dbus_message_unref(call);
    if (reply == nullptr) {
        std::fprintf(stderr, "call failed: %s\n", error.message);
        dbus_error_free(&error);
        return -1;
    }
    const unsigned char* answer = nullptr;
    int length = 0;
    int status = -1;
    if (dbus_message_get_args(reply, nullptr, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE, &answer, &length,
                              DBUS_TYPE_INVALID)
        && length > 0)
        status = answer[0];
    dbus_message_unref(reply);
    return status;
}

// One bare durable replace of "bare" in the directory; false on any failure.
bool Replace(int directory, const std::vector<unsigned char>& bytes)
{
    const int fd = openat(directory, ".bare.tmp", O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                          0600);
    if (fd < 0)
        return false;
    const bool written = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size())
                         && fsync(fd) == 0;
    close(fd);
    return written && renameat(directory, ".bare.tmp", directory, "bare") == 0 && fsync(directory) == 0;
}

void PrintRate(long calls, std::chrono::steady_clock::time_point start)
{
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%ld calls in %.3f s: %.0f calls/s\n", calls, seconds, calls / seconds);
}

int ReplaceLoop(const char* path, size_t size, long calls)
{
    const int directory = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0) {
        std::perror(path);
        return 1;
    }
    const std::vector<unsigned char> bytes(size, 0x5A);
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < calls; ++i) {
        if (!Replace(directory, bytes)) {
            std::perror("replace");
            return 1;
        }
    }
    PrintRate(calls, start);
    close(directory);
    return 0;
}

// Waits for the service's name to gain (owned) or lose its owner; false
// when the child exits first or no announcement comes within a minute.
bool AwaitOwner(DBusConnection* connection, bool owned, pid_t child)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (std::chrono::steady_clock::now() < deadline) {
        dbus_connection_read_write(connection, 100);
        while (DBusMessage* message = dbus_connection_pop_message(connection)) {
            const char *name = nullptr, *before = nullptr, *after = nullptr;
            const bool announced =
                dbus_message_is_signal(message, "org.freedesktop.DBus", "NameOwnerChanged")
                && dbus_message_get_args(message, nullptr, DBUS_TYPE_STRING, &name, DBUS_TYPE_STRING,
                                         &before, DBUS_TYPE_STRING, &after, DBUS_TYPE_INVALID)
                && std::strcmp(name, kService) == 0 && (*after != '\0') == owned;
            dbus_message_unref(message);
            if (announced)
                return true;
        }
        if (owned && waitpid(child, nullptr, WNOHANG) == child) {
            std::fprintf(stderr, "the service ended before it took its name\n");
            return false;
        }
    }
    std::fprintf(stderr, "no announcement of %s within a minute\n", kService);
    return false;
}

long ResidentKb(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

int StartupLoop(DBusConnection* connection, long runs, const char* program)
{
    DBusError error;
    dbus_error_init(&error);
    const std::string rule = std::string("type='signal',sender='org.freedesktop.DBus',"
                                         "member='NameOwnerChanged',arg0='")
                             + kService + "'";
    dbus_bus_add_match(connection, rule.c_str(), &error);
    if (dbus_error_is_set(&error)) {
        std::fprintf(stderr, "match: %s\n", error.message);
        return 1;
    }
    for (long run = 0; run < runs; ++run) {
        const auto start = std::chrono::steady_clock::now();
        const pid_t child = fork();
        if (child == 0) {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            execl(program, program, static_cast<char*>(nullptr));
            _exit(127);
        }
        const bool up = child > 0 && AwaitOwner(connection, true, child);
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        if (up)
            std::printf("startup_ms %.1f rss_kb %ld\n", ms, ResidentKb(child));
        if (child > 0) {
            kill(child, SIGTERM);
            waitpid(child, nullptr, 0);
        }
        // The next start must not find the name still owned.
        if (!up || !AwaitOwner(connection, false, child))
            return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 5 && argc != 6) {
        std::fprintf(stderr,
                     "usage: %s <address> store|retrieve|echo|fill <bytes> <calls> [first]\n"
                     "       %s <directory> replace <bytes> <calls>\n"
                     "       %s <address> startup <runs> <service program>\n",
                     argv[0], argv[0], argv[0]);
        return 2;
    }
    const std::string mode = argv[2];
    const size_t size = std::strtoul(argv[3], nullptr, 10);
    const long calls = std::strtol(argv[4], nullptr, 10);
    const unsigned first = argc == 6 ? static_cast<unsigned>(std::strtoul(argv[5], nullptr, 0)) : 1;
    if (mode == "replace")
        return ReplaceLoop(argv[1], size, calls);

    DBusError error;
    dbus_error_init(&error);
    DBusConnection* connection = dbus_connection_open_private(argv[1], &error);
    if (connection == nullptr || !dbus_bus_register(connection, &error)) {
        std::fprintf(stderr, "connect: %s\n", error.message);
        return 1;
    }

    if (mode == "startup")
        return StartupLoop(connection, std::strtol(argv[3], nullptr, 10), argv[4]);

    std::vector<unsigned char> secret(size);
    for (size_t i = 0; i < size; ++i)
        secret[i] = static_cast<unsigned char>(i * 31 + 7);
    std::vector<unsigned char> store;
    PutWord(store, kToken);
    PutWord(store, 0600);
    store.insert(store.end(), secret.begin(), secret.end());
    std::vector<unsigned char> retrieve;
    PutWord(retrieve, kToken);

    const char* destination = kService;
    const char* interface = "com.zel.vyrna";
    const char* member = "StoreData";
    const std::vector<unsigned char>* payload = &store;
    if (mode == "retrieve") {
        if (Call(connection, destination, interface, "StoreData", store) != 0)
            return 1;
        member = "RetrieveData";
        payload = &retrieve;
    } else if (mode == "echo") {
        destination = "com.zel.test.Echo";
        interface = "com.zel.test";
        member = "Echo";
        payload = &secret;
    } else if (mode != "store" && mode != "fill") {
        std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
        return 2;
    }

    const int expected = mode == "echo" ? secret[0] : 0;
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < calls; ++i) {
        if (mode == "fill") {
            for (int b = 0; b < 4; ++b)
                store[b] = static_cast<unsigned char>((first + i) >> (8 * b));
        }
        if (Call(connection, destination, interface, member, *payload) != expected) {
            std::fprintf(stderr, "call %ld did not succeed\n", i);
            return 1;
        }
    }
    PrintRate(calls, start);
    dbus_connection_close(connection);
    dbus_connection_unref(connection);
    return 0;
}
