"""The simulated board for black-box tests of the security service.

A Board runs the unchanged service in the board sandbox: its partitions are
folders of the test, the system bus and journald are real daemons private to
the sandbox, the bus socket is visible outside so clients nobody here wrote
(busctl, gdbus, dbus-python) call the service as they would on the board, and
the journal files stay behind for journalctl once the sandbox has ended.
"""
import json
import re
import os
import signal
import subprocess
import time
from pathlib import Path

import pytest

from . import paths
from .bus import die_with_parent

SANDBOX = paths.SOURCE_DIR / "board" / "sandbox"
SERVICE_NAME = "com.zel.vyrna.SecurityManager"
INTERFACE = "com.zel.vyrna"
DEVICE_FEATURE = paths.SOURCE_DIR / "board" / "sandbox.d" / "vcrypto.sh"

# Accounts of the permission tests: alice and bob share the group "team",
# carol shares none, dave has "team" as primary group.
TEST_ACCOUNTS = {
    "alice": (2001, 2001),
    "bob": (2002, 2002),
    "carol": (2003, 2003),
    "dave": (2004, 3000),
}
TEST_GROUPS = {"alice": (2001, []), "bob": (2002, []), "carol": (2003, []),
               "team": (3000, ["alice", "bob"])}


def require_device():
    """A board with the crypto device needs the sandbox's --vcrypto feature:
    without it the tree is broken, which must not pass for a skip."""
    if not DEVICE_FEATURE.exists():
        pytest.fail(f"{DEVICE_FEATURE} is missing: the sandbox cannot give the service "
                    "/dev/vcrypto", pytrace=False)


def write_accounts(directory):
    """The machine's accounts plus the test accounts, for --accounts."""
    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    passwd = Path("/etc/passwd").read_text()
    group = Path("/etc/group").read_text()
    for name, (uid, gid) in TEST_ACCOUNTS.items():
        passwd += f"{name}:x:{uid}:{gid}:{name}:/nonexistent:/usr/sbin/nologin\n"
    for name, (gid, members) in TEST_GROUPS.items():
        group += f"{name}:x:{gid}:{','.join(members)}\n"
    (directory / "passwd").write_text(passwd)
    (directory / "group").write_text(group)
    return directory


def parse_busctl(text):
    """busctl's answer "ay 3 1 2 3" as bytes; a string answer as str."""
    words = text.split()
    if words and words[0] == "ay":
        return bytes(int(w) for w in words[2:])
    if words and words[0] == "s":
        return json.loads(text.strip()[2:])
    raise ValueError(f"unexpected answer: {text!r}")


class Board:
    def __init__(self, root, device=True, data=True, nor=True, accounts=None):
        self.root = Path(root)
        self.data = self.root / "data"
        self.nor = self.root / "nor"
        self.bus_dir = self.root / "bus"
        self.journal_dir = self.root / "journal"
        self.device_dir = self.root / "device"
        for d in (self.data, self.nor, self.bus_dir, self.journal_dir, self.device_dir):
            d.mkdir(parents=True, exist_ok=True)
        os.chmod(self.root, 0o755)
        os.chmod(self.bus_dir, 0o755)
        self.device = device
        self.with_data = data
        self.with_nor = nor
        self.accounts = accounts
        self.address = f"unix:path={self.bus_dir}/system_bus_socket"
        self.process = None
        self.runs = 0

    # --- lifecycle ----------------------------------------------------------

    def sandbox_args(self):
        args = [str(SANDBOX)]
        if self.with_data:
            args.append(f"--data={self.data}")
        if self.with_nor:
            args.append(f"--nor={self.nor}")
        if self.accounts is not None:
            args.append(f"--accounts={self.accounts}")
        args += [f"--journal={self.journal_dir}", f"--bus={self.bus_dir}"]
        if self.device:
            require_device()
            args.append(f"--vcrypto={self.device_dir}")
        return args

    def start(self, program=None, wait=True):
        """Starts the service (or another program) in a fresh sandbox.

        With wait, returns once the service owns its bus name; fails when it
        exits first.
        """
        assert self.process is None, "board already running"
        self.runs += 1
        self.out_path = self.root / f"run{self.runs}.out"
        self.err_path = self.root / f"run{self.runs}.err"
        self.pid_path = self.root / f"run{self.runs}.pid"
        program = program or [str(paths.built("apps/VyrnaSecurityManager/VyrnaSecurityManager"))]
        command = self.sandbox_args() + [
            "--", "sh", "-c", 'echo $$ > "$0"; exec "$@"', str(self.pid_path), *program]
        with open(self.out_path, "wb") as out, open(self.err_path, "wb") as err:
            self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=out,
                                            stderr=err, preexec_fn=die_with_parent)
        if wait:
            self.wait_ready()
        return self

    def wait_ready(self, timeout=30):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise AssertionError(f"service exited with {self.process.returncode}: {self.stderr()}")
            if self.name_has_owner():
                return
            time.sleep(0.05)
        raise AssertionError("service did not take its bus name")

    def name_has_owner(self):
        probe = subprocess.run(
            ["busctl", f"--address={self.address}", "call", "org.freedesktop.DBus",
             "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner", "s", SERVICE_NAME],
            capture_output=True, text=True, timeout=30)
        return probe.returncode == 0 and probe.stdout.strip() == "b true"

    def service_pid(self):
        return int(self.pid_path.read_text())

    def wait(self, timeout=30):
        """Waits for the sandbox (and with it the service) to end; its status."""
        try:
            status = self.process.wait(timeout=timeout)
        finally:
            if self.process.poll() is None:
                self.process.kill()
                self.process.wait()
        self.process = None
        self.check_sanitizers()
        return status

    def stop(self):
        """Ends a running service (SIGTERM) and the sandbox with it."""
        if self.process is None:
            return None
        if self.process.poll() is None:
            try:
                os.kill(self.service_pid(), signal.SIGTERM)
            except (ProcessLookupError, FileNotFoundError, ValueError):
                pass
        return self.wait()

    def restart(self, **kwargs):
        self.stop()
        return self.start(**kwargs)

    def check_sanitizers(self):
        err = self.stderr()
        assert "Sanitizer" not in err and "runtime error" not in err, err

    def stdout(self):
        return self.out_path.read_text(errors="replace")

    def stderr(self):
        return self.err_path.read_text(errors="replace")

    # --- clients ------------------------------------------------------------

    def env(self):
        env = dict(os.environ)
        env["DBUS_SYSTEM_BUS_ADDRESS"] = self.address
        return env

    def busctl(self, member, payload, user=None, timeout=60):
        """One call with busctl (sd-bus); the answer's bytes (or text)."""
        args = ["busctl", f"--address={self.address}", "--timeout=60", "call", SERVICE_NAME, "/",
                INTERFACE, member, "ay", str(len(payload)), *(str(b) for b in payload)]
        result = subprocess.run(args, capture_output=True, text=True, timeout=timeout,
                                preexec_fn=as_user(user))
        assert result.returncode == 0, result.stderr
        return parse_busctl(result.stdout)

    def call(self, member, payload, user=None):
        return self.busctl(member, payload, user)

    def store(self, token, mode, data, user=None):
        answer = self.call("StoreData", word(token) + word(mode) + data, user)
        assert len(answer) == 8, answer
        return answer[0], int.from_bytes(answer[4:], "little"), answer

    def retrieve(self, token, user=None):
        answer = self.call("RetrieveData", word(token), user)
        return answer[0], answer[4:], answer

    def clear(self, token, user=None):
        answer = self.call("ClearData", word(token), user)
        assert len(answer) == 4, answer
        return answer[0], answer

    # --- what the board kept ------------------------------------------------

    def journal(self):
        """Entries of the service's identifier; read once the board stopped."""
        assert self.process is None, "stop the board first: journald writes out when it ends"
        files = sorted(self.journal_dir.glob("*/*.journal"))
        if not files:
            return []
        out = subprocess.run(["journalctl", "--no-pager", "-o", "json",
                              *(f"--file={f}" for f in files), "SYSLOG_IDENTIFIER=q512_status"],
                             capture_output=True, text=True, timeout=60)
        return [json.loads(line) for line in out.stdout.splitlines() if line.strip()]

    @property
    def items_dir(self):
        return self.data / "vyrna" / ".secureStorage"

    @property
    def keys_dir(self):
        return self.data / "vyrna" / ".ephKeys"

    @property
    def backup_dir(self):
        return self.nor / "vyrna" / ".backup"


def word(value):
    return (value & 0xFFFFFFFF).to_bytes(4, "little")


def as_user(user):
    if user is None:
        return die_with_parent
    uid, gid = TEST_ACCOUNTS[user] if isinstance(user, str) else user

    def drop():
        die_with_parent()
        os.setgroups([])
        os.setgid(gid)
        os.setuid(uid)
    return drop


# --- clients nobody here wrote, and our own console ----------------------------

def parse_gdbus(text):
    """gdbus's answer "([byte 0x02, 0x00],)" or "(@ay [],)" as bytes."""
    text = text.strip()
    if text.startswith("(@ay []"):
        return b""
    if "[byte " in text:
        inner = text[text.index("[byte ") + 1:text.rindex("]")]
        return bytes(int(part.split()[-1], 16) for part in inner.split(","))
    raise ValueError(f"unexpected answer: {text!r}")


def gdbus_call(board, member, payload, user=None, argument=None):
    """One call with gdbus (GLib's D-Bus); argument overrides the ay text."""
    if argument is None:
        argument = "[" + ", ".join(f"byte 0x{b:02x}" for b in payload) + "]" if payload else "@ay []"
    args = ["gdbus", "call", "--address", board.address, "--dest", SERVICE_NAME,
            "--object-path", "/", "--method", f"{INTERFACE}.{member}", "--timeout", "60"]
    args += [argument] if argument != "" else []
    result = subprocess.run(args, capture_output=True, text=True, timeout=90,
                            preexec_fn=as_user(user))
    assert result.returncode == 0, result.stderr
    return result.stdout


def console_script(member, payload, data_file):
    """What an operator types into the console for one call, then quits."""
    token = int.from_bytes(payload[:4], "little")
    if member == "StoreData":
        mode = int.from_bytes(payload[4:8], "little", signed=True)
        data_file.write_bytes(payload[8:])
        lines = ["1", f"{token:x}", f"{mode:o}" if mode >= 0 else f"-{-mode:o}", "f", str(data_file)]
    else:
        lines = ["2" if member == "RetrieveData" else "3", f"{token:x}"]
    if member == "RetrieveData":
        lines.append("n")  # do not save
    return "\n".join(lines + ["q"]) + "\n"


def console_call(board, member, payload, user=None):
    """One call through VyrnaSecurityTester; the answer bytes it printed."""
    data_file = board.root / "console-data"
    script = console_script(member, payload, data_file)
    os.chmod(board.root, 0o755)
    if data_file.exists():
        os.chmod(data_file, 0o644)
    result = subprocess.run([str(paths.built("apps/VyrnaSecurityTester/VyrnaSecurityTester"))],
                            input=script.encode("latin-1"), capture_output=True, timeout=90,
                            env=board.env(), preexec_fn=as_user(user))
    out = result.stdout.decode("latin-1")
    menus = out.split("Enter the service #:")
    assert len(menus) >= 3, out
    match = re.search(r"^((?:[0-9A-F]{2} )*[0-9A-F]{2})(?: \[|$)", menus[1], re.M)
    assert match, out
    return bytes(int(b, 16) for b in match.group(1).split())


CLIENTS = {
    "busctl": lambda board, member, payload, user=None: board.busctl(member, payload, user),
    "gdbus": lambda board, member, payload, user=None: parse_gdbus(
        gdbus_call(board, member, payload, user)),
    "console": console_call,
}


def pipelined_calls(board, calls, timeout=60):
    """Sends all calls at once on one connection (dbus-python) and returns
    the answers in order; while the service is stopped (SIGSTOP) they reach
    it together and are handled in one dispatch."""
    import dbus
    from dbus.mainloop.glib import DBusGMainLoop
    from gi.repository import GLib

    loop = GLib.MainLoop()
    connection = dbus.bus.BusConnection(board.address, mainloop=DBusGMainLoop())
    proxy = connection.get_object(SERVICE_NAME, "/", introspect=False)
    answers = [None] * len(calls)

    def done(index):
        def handler(*reply):
            answers[index] = bytes(reply[0]) if reply and not isinstance(reply[0], Exception) \
                else reply
            if all(a is not None for a in answers):
                loop.quit()
        return handler

    for index, (member, payload) in enumerate(calls):
        proxy.get_dbus_method(member, INTERFACE)(
            dbus.ByteArray(payload), reply_handler=done(index), error_handler=done(index),
            byte_arrays=True, timeout=timeout)
    connection.flush()
    return connection, loop, answers


def run_until_answered(loop, answers, timeout=60):
    from gi.repository import GLib
    GLib.timeout_add_seconds(timeout, loop.quit)
    if not all(a is not None for a in answers):
        loop.run()
    return answers
