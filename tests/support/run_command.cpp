#include "run_command.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace zeltest {

namespace {

long NowMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

[[noreturn]] void ExecChild(const std::vector<std::string>& argv, const RunAs* as)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (as != nullptr) {
        if (setgroups(0, nullptr) != 0 || setgid(as->gid) != 0 || setuid(as->uid) != 0)
            _exit(126);
    }
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

}  // namespace

pid_t SpawnCommand(const std::vector<std::string>& argv, const RunAs* as)
{
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        ExecChild(argv, as);
    }
    return pid;
}

int WaitCommand(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

CommandResult RunCommand(const std::vector<std::string>& argv, const RunAs* as, int timeoutMs)
{
    CommandResult result;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return result;
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return result;
    }
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        ExecChild(argv, as);
    }
    close(out[1]);
    close(err[1]);

    long deadline = NowMs() + timeoutMs;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int openPipes = 2;
    while (openPipes > 0 && pid > 0) {
        long left = deadline - NowMs();
        if (left <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, 2, static_cast<int>(left)) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --openPipes;
            }
        }
    }
    for (pollfd& p : fds) {
        if (p.fd >= 0)
            close(p.fd);
    }
    if (pid > 0)
        result.exitStatus = WaitCommand(pid);
    return result;
}

std::vector<RunAs> OtherUsers()
{
    std::vector<RunAs> users;
    if (geteuid() != 0)
        return users;
    for (const char* name : {"nobody", "daemon", "bin"}) {
        passwd* pw = getpwnam(name);
        if (pw != nullptr && pw->pw_uid != 0)
            users.push_back({pw->pw_uid, pw->pw_gid});
    }
    return users;
}

}  // namespace zeltest
