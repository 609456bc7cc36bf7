"""Waiting for what another process is doing, instead of sleeping and hoping:
the bus messages that wait, unread, in its sockets, and the system call it
sleeps in. Needs root (the test reaches into the service's descriptors)."""
import ctypes
import os
import platform
import socket
import struct
import time

SYS_PIDFD_GETFD = 438   # the same number on every architecture

# The calls a loop waits in for its descriptors, by machine.
WAIT_CALLS = {
    "x86_64": {7: "poll", 23: "select", 232: "epoll_wait", 270: "pselect6", 271: "ppoll",
               281: "epoll_pwait"},
    "aarch64": {22: "epoll_pwait", 72: "pselect6", 73: "ppoll"},
}

_libc = ctypes.CDLL(None, use_errno=True)


def _peek_sockets(pid):
    """What waits unread in each connected socket of the process, read
    without taking it (its own descriptors, duplicated with pidfd_getfd)."""
    pidfd = os.pidfd_open(pid)
    try:
        for fd in os.listdir(f"/proc/{pid}/fd"):
            try:
                if not os.readlink(f"/proc/{pid}/fd/{fd}").startswith("socket:"):
                    continue
            except OSError:
                continue
            copy = _libc.syscall(SYS_PIDFD_GETFD, pidfd, int(fd), 0)
            if copy < 0:
                continue
            with socket.socket(fileno=copy) as s:
                try:
                    yield s.recv(1 << 20, socket.MSG_PEEK | socket.MSG_DONTWAIT)
                except OSError:
                    pass
    finally:
        os.close(pidfd)


def _complete_messages(data):
    """The D-Bus messages that have arrived whole at the start of data: a
    16-byte header with the body and field lengths, the fields padded to 8,
    the body."""
    messages = []
    while len(data) >= 16 and data[:1] in (b"l", b"B"):
        order = "<" if data[:1] == b"l" else ">"
        body, fields = struct.unpack(order + "4xI4xI", data[:16])
        end = 16 + (fields + 7) // 8 * 8 + body
        if len(data) < end:
            break
        messages.append(data[:end])
        data = data[end:]
    return messages


def wait_queued(pid, member, count, timeout=30):
    """Waits until count calls of member wait whole in the process's bus
    socket (a stopped service: nobody reads them)."""
    name = member.encode()
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        queued = sum(name in m for data in _peek_sockets(pid) for m in _complete_messages(data))
        if queued >= count:
            return
        time.sleep(0.01)
    raise AssertionError(f"{count} {member} calls did not reach process {pid} in {timeout} s")


def wait_in_poll(pid, timeout=30):
    """Waits until the process sleeps in its wait for descriptors (select,
    poll and their kin)."""
    calls = WAIT_CALLS.get(platform.machine())
    assert calls, f"no system call numbers for {platform.machine()}"
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with open(f"/proc/{pid}/stat") as f:
            state = f.read().rpartition(")")[2].split()[0]
        with open(f"/proc/{pid}/syscall") as f:
            call = f.read().split()[0]
        if state == "S" and call.lstrip("-").isdigit() and int(call) in calls:
            return
        time.sleep(0.01)
    raise AssertionError(f"process {pid} did not settle in its wait in {timeout} s")
