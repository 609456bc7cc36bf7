// Runs an outside program (gdbus, busctl, dbus-send, ...) and collects what it
// printed, optionally as another user, so tests can prove behaviour against
// peers nobody here wrote.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace zeltest {

struct CommandResult {
    int exitStatus = -1;  // -1 when it did not exit normally (signal, time-out)
    std::string out;
    std::string err;
};

struct RunAs {
    uid_t uid;
    gid_t gid;
};

// Runs argv[0] from PATH with the current environment. With `as`, the child
// drops to that user and group (needs root). Killed after timeoutMs.
CommandResult RunCommand(const std::vector<std::string>& argv, const RunAs* as = nullptr,
                         int timeoutMs = 30000);

// Starts argv in the background; the caller waits with WaitCommand.
pid_t SpawnCommand(const std::vector<std::string>& argv, const RunAs* as = nullptr);
int WaitCommand(pid_t pid);

// Two users other than root for permission tests: nobody and, when it
// exists, a second unprivileged account. Empty when not running as root.
std::vector<RunAs> OtherUsers();

}  // namespace zeltest
