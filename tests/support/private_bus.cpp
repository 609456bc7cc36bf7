#include "private_bus.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zeltest {

namespace {

PrivateBus* g_bus = nullptr;

void RemoveTree(const std::string& dir)
{
    if (dir.empty())
        return;
    std::string cmd = "rm -rf '" + dir + "'";
    if (std::system(cmd.c_str()) != 0)
        std::fprintf(stderr, "private bus: could not remove %s\n", dir.c_str());
}

}  // namespace

PrivateBus::PrivateBus()
{
    char tmpl[] = "/tmp/zel-bus-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        std::perror("private bus: mkdtemp");
        std::abort();
    }
    m_dir = tmpl;
    // Clients running as other users must reach the socket.
    chmod(m_dir.c_str(), 0755);
    m_address = "unix:path=" + m_dir + "/system_bus_socket";
}

PrivateBus::~PrivateBus()
{
    stop();
    RemoveTree(m_dir);
}

bool PrivateBus::start()
{
    if (m_pid > 0)
        return true;
    unlink((m_dir + "/system_bus_socket").c_str());

    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0)
        return false;

    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        close(ready[0]);
        close(ready[1]);
        return false;
    }
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(1);
        dup2(ready[1], 3);  // dup2 clears close-on-exec on the copy
        int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, 0);
            dup2(null, 2);  // the daemon complains about fd limits it cannot raise
        }
        std::string config = std::string("--config-file=") + ZEL_TEST_BUS_CONFIG;
        std::string address = "--address=" + m_address;
        execlp("dbus-daemon", "dbus-daemon", config.c_str(), address.c_str(), "--nofork",
               "--nopidfile", "--print-address=3", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(ready[1]);
    m_pid = pid;

    // The daemon prints its address once it listens.
    char line[512];
    ssize_t got = 0;
    while (got < static_cast<ssize_t>(sizeof line) - 1) {
        ssize_t n = read(ready[0], line + got, sizeof line - 1 - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += n;
        if (memchr(line, '\n', got) != nullptr)
            break;
    }
    close(ready[0]);
    if (got == 0 || memchr(line, '\n', got) == nullptr) {
        stop();
        return false;
    }
    setenv("DBUS_SYSTEM_BUS_ADDRESS", m_address.c_str(), 1);
    return true;
}

void PrivateBus::stop()
{
    if (m_pid <= 0)
        return;
    kill(m_pid, SIGTERM);
    int status;
    while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_pid = -1;
}

void BusEnvironment::SetUp()
{
    if (g_bus == nullptr)
        g_bus = new PrivateBus;
    ASSERT_TRUE(g_bus->start()) << "dbus-daemon did not start";
}

void BusEnvironment::TearDown()
{
    delete g_bus;
    g_bus = nullptr;
}

PrivateBus& BusEnvironment::bus()
{
    return *g_bus;
}

}  // namespace zeltest
