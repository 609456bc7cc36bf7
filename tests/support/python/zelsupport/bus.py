"""A real dbus-daemon with the board's system-bus policy, private to a test run.

The socket lives in a temporary folder; clients find it through
DBUS_SYSTEM_BUS_ADDRESS. The daemon gets a parent-death signal, so it goes
away with the test process on every exit path, crashes included.
"""
import ctypes
import os
import shutil
import signal
import subprocess
import tempfile

from . import paths

_PR_SET_PDEATHSIG = 1


def die_with_parent(sig=signal.SIGTERM):
    """preexec_fn for children that must not outlive the test process."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(_PR_SET_PDEATHSIG, int(sig), 0, 0, 0)


class PrivateBus:
    def __init__(self, config=paths.TEST_BUS_CONFIG, directory=None):
        self.config = str(config)
        self._own_dir = directory is None
        self.directory = directory or tempfile.mkdtemp(prefix="zel-bus-")
        os.chmod(self.directory, 0o755)  # clients running as other users
        self.socket = os.path.join(self.directory, "system_bus_socket")
        self.address = "unix:path=" + self.socket
        self.process = None

    def start(self):
        if self.process is not None:
            return
        if os.path.exists(self.socket):
            os.unlink(self.socket)
        read_fd, write_fd = os.pipe()
        self.process = subprocess.Popen(
            ["dbus-daemon", "--config-file=" + self.config, "--address=" + self.address,
             "--nofork", "--nopidfile", f"--print-address={write_fd}"],
            pass_fds=(write_fd,), stdin=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            preexec_fn=die_with_parent)
        os.close(write_fd)
        with os.fdopen(read_fd) as ready:
            line = ready.readline()  # printed once the daemon listens
        if not line:
            self.stop()
            raise RuntimeError("dbus-daemon did not start")

    def stop(self):
        if self.process is None:
            return
        self.process.terminate()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.process = None

    def env(self, base=None):
        env = dict(os.environ if base is None else base)
        env["DBUS_SYSTEM_BUS_ADDRESS"] = self.address
        return env

    def close(self):
        self.stop()
        if self._own_dir:
            shutil.rmtree(self.directory, ignore_errors=True)

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.close()
