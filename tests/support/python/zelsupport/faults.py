"""Fault injection into the security service on the simulated board.

For one operation the harness first records the file-system calls that the
service makes on its stores, by running the operation under strace. It then
repeats the operation once for every recorded call and kind of fault, with
strace injecting the fault at exactly that call:

  kill    SIGKILL on entry to the call: the call never runs (a power cut);
  eio     the call fails with EIO (a transient medium error);
  enospc  a call that writes fails with ENOSPC (a full partition).

After each injection the service is started normally and the invariants are
checked: every item acknowledged before holds its value, the item being
written holds its old or its new value (the new one if the request was
answered 0), no user's key changed unless that user had none or the
operation renews it, both key copies agree, no temporary or marker file is
left, and the service starts first time and keeps answering.
"""
import os
import re
import shutil
import signal
import subprocess
import time
from dataclasses import dataclass, field
from pathlib import Path

from . import paths
from .board import Board, TEST_ACCOUNTS, write_accounts, word

ITEMS = "/mnt/DATA/vyrna/.secureStorage"
KEYS = "/mnt/DATA/vyrna/.ephKeys"
BACKUP = "/mnt/NOR6/vyrna/.backup"
KINDS = ("kill", "eio", "enospc")
WRITING = {"write", "pwrite64", "writev", "fsync", "fdatasync", "rename", "renameat",
           "renameat2", "mkdir", "mkdirat", "ftruncate", "fallocate"}
CALL = re.compile(r"^(?:\d+\s+)?(\w+)\(")
STORE_PATH = re.compile(r'"(/mnt/[^"]*)"|<(/mnt/[^>]*)>')
AT_PATH = re.compile(r'\(\d+<(/mnt/[^>]*)>, "([^"]*)"')  # a name relative to an open directory


def uid_of(user):
    return 0 if user is None else TEST_ACCOUNTS[user][0]


@dataclass(frozen=True)
class Item:
    token: int
    user: object          # account name of the owner, None for root
    value: bytes
    mode: int = 0o600


@dataclass(frozen=True)
class Operation:
    name: str
    request: tuple = None        # (member, payload, user); None: the start-up itself
    target: int = None           # the item the request changes
    new: bytes = None            # the value StoreData writes
    renews: tuple = ()           # uids whose key the operation may create or replace
    extra: tuple = ()            # items stored besides the common ones
    damage: tuple = ()           # applied to the stopped board before the operation
    unreadable: tuple = ()       # damaged items that must answer 7


def store_request(token, value, user=None, mode=0o600):
    return ("StoreData", word(token) + word(mode) + value, user)


# --- damage applied to the stopped board -------------------------------------

def flip_byte(path, offset=0):
    content = bytearray(path.read_bytes())
    content[offset] ^= 0x5A
    path.write_bytes(bytes(content))


def tear(path, keep=16 + 24):
    path.write_bytes(path.read_bytes()[:keep])


def set_owner(path, uid):
    content = bytearray(path.read_bytes())
    content[4:8] = uid.to_bytes(4, "little")
    path.write_bytes(bytes(content))


def half_written(directory, name):
    (directory / name).write_bytes((directory / name).read_bytes()[:40])
    (directory / f".{name}").write_bytes(b"")


COMMON = (Item(1, None, b"one"), Item(2, None, b"two"), Item(3, "alice", b"alice's only"))

OPERATIONS = (
    Operation("store-new", store_request(10, b"ten"), target=10, new=b"ten"),
    Operation("store-first-key", store_request(20, b"bob's first", "bob"), target=20,
              new=b"bob's first", renews=(uid_of("bob"),)),
    Operation("store-over", store_request(1, b"one, second version"), target=1,
              new=b"one, second version"),
    Operation("clear-one", ("ClearData", word(2), None), target=2),
    Operation("clear-last", ("ClearData", word(3), "alice"), target=3,
              renews=(uid_of("alice"),)),
    Operation("start-damaged-primary",
              damage=(lambda b: flip_byte(b.keys_dir / "0000.key", 77),)),
    Operation("start-damaged-backup",
              damage=(lambda b: (b.backup_dir / ".CRC").write_bytes(b"not hex"),)),
    Operation("start-interrupted-backup",
              damage=(lambda b: half_written(b.backup_dir, "0000.key"),)),
    # A torn item (not a whole number of cipher blocks) and one whose owner
    # has no key: their readers get 7, everybody else is served as before.
    Operation("retrieve-unreadable", ("RetrieveData", word(6), None),
              extra=(Item(5, None, b"torn after its third block " * 2), Item(6, None, b"orphan", 0o644)),
              damage=(lambda b: tear(b.items_dir / "00000005.data"),
                      lambda b: set_owner(b.items_dir / "00000006.data", uid_of("carol"))),
              unreadable=(5, 6)),
)


# --- one point of injection --------------------------------------------------

@dataclass(frozen=True)
class Point:
    index: int       # position among the recorded calls, from 1
    call: str        # system call name
    nth: int         # occurrence of that call, as strace's when= counts it
    line: str

    @property
    def path(self):
        at = AT_PATH.search(self.line) if self.call.rstrip("2").endswith("at") else None
        if at:
            return f"{at.group(1)}/{at.group(2)}"
        found = STORE_PATH.search(self.line)
        return (found.group(1) or found.group(2)).replace("(deleted)", "") if found else ""

    @property
    def changes(self):
        return self.writes or self.call in ("unlink", "unlinkat")

    @property
    def writes(self):
        return self.call in WRITING or (self.call in ("open", "openat") and "O_CREAT" in self.line)

    def kinds(self):
        return KINDS if self.writes else KINDS[:2]

    def inject(self, kind):
        how = {"kill": "signal=KILL", "eio": "error=EIO", "enospc": "error=ENOSPC"}[kind]
        return f"{self.call}:{how}:when={self.nth}"


@dataclass
class Outcome:
    point: Point
    kind: str
    answer: object = None     # first answer byte of the injected request, None if none
    problems: list = field(default_factory=list)


class Harness:
    """Runs one operation's enumeration and injections on its own board."""

    def __init__(self, root, operation):
        self.root = Path(root) / operation.name
        self.op = operation
        self.accounts = write_accounts(self.root / "accounts")
        self.board = Board(self.root / "board", accounts=self.accounts)
        self.snapshot = self.root / "snapshot"
        self.service = str(paths.built("apps/VyrnaSecurityManager/VyrnaSecurityManager"))
        self.runs = 0
        # What the items answered while a service that met a fault still
        # served (a run that saw none leaves None).
        self.live, self.live_problems = None, []

    # --- the state before the operation -------------------------------------

    @property
    def items(self):
        return COMMON + self.op.extra

    def prepare(self):
        b = self.board
        b.start()
        for item in self.items:
            status, token, _ = b.store(item.token, item.mode, item.value, item.user)
            assert (status, token) == (0, item.token), (item, status)
        b.stop()
        self.keys = {int(p.stem): p.read_bytes() for p in b.keys_dir.glob("*.key")}
        for damage in self.op.damage:
            damage(b)
        for part in ("data", "nor"):
            shutil.copytree(getattr(b, part), self.snapshot / part, symlinks=True)

    def restore(self):
        for part in ("data", "nor"):
            target = getattr(self.board, part)
            for child in target.iterdir():
                if child.is_dir() and not child.is_symlink():
                    shutil.rmtree(child)
                else:
                    child.unlink()
            shutil.copytree(self.snapshot / part, target, symlinks=True, dirs_exist_ok=True)

    # --- strace -------------------------------------------------------------

    def strace(self, log, inject=None, store_paths=None):
        args = ["strace", "-f", "-y", "-q", "-o", str(log), "-e", "trace=%file,%desc"]
        if inject:
            args += ["-e", f"inject={inject}"]
        for path in store_paths or ():
            args += ["-P", path]
        return args

    def run(self, inject=None, store_paths=None):
        """The operation once, under strace; (answer byte or None, strace log)."""
        self.restore()
        self.runs += 1
        log = self.root / f"trace{self.runs}.log"
        tracer = self.strace(log, inject, store_paths)
        quiet = 'ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=0" exec "$@"'  # no leak check under ptrace
        b = self.board
        self.live, self.live_problems = None, []
        if self.op.request is None:
            b.start(program=["sh", "-c", quiet, "-", *tracer, self.service], wait=False)
            self._wait_serving_or_exit()
            self._stop_traced()
            return None, log
        b.start(program=["sh", "-c", quiet, "-", self.service])
        pid = b.service_pid()
        attach = subprocess.Popen(["nsenter", "-t", str(pid), "-m", *tracer, "-p", str(pid)],
                                  stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 30
        while "TracerPid:\t0\n" in Path(f"/proc/{pid}/status").read_text():
            assert time.monotonic() < deadline and attach.poll() is None, "strace did not attach"
            time.sleep(0.01)
        member, payload, user = self.op.request
        answer = self._call(member, payload, user)
        # A service that goes on serving after an internal error (a full
        # partition that refused the change) must answer rightly at once.
        if answer == 8:
            self.live = [self._read(item.token, item.user) for item in self.items]
            if any(read is not None for read in self.live):
                self.live_problems = [f"while still serving: {p}" for p in self.check_files()]
        # strace ends with its tracee; detaching from a tracee that is
        # exiting can leave strace waiting for ever.
        b.stop()
        try:
            attach.wait(timeout=30)
        except subprocess.TimeoutExpired:
            attach.kill()
            attach.wait()
        return answer, log

    def _call(self, member, payload, user):
        try:
            answer = self.board.busctl(member, payload, user, timeout=20)
        except (AssertionError, subprocess.TimeoutExpired):
            return None  # no answer: the service was killed or ended
        return answer[0]

    def _wait_serving_or_exit(self, timeout=30):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and self.board.process.poll() is None:
            if self.board.name_has_owner():
                return
            time.sleep(0.05)

    def _stop_traced(self):
        b = self.board
        if b.process.poll() is None:
            tracer = b.service_pid()
            for child in Path(f"/proc/{tracer}/task/{tracer}/children").read_text().split():
                os.kill(int(child), signal.SIGTERM)
        b.wait()

    # --- enumeration --------------------------------------------------------

    def enumerate(self):
        """The file-system calls of the operation on the stores, in order."""
        _, log = self.run()
        found = set()
        for line in log.read_text().splitlines():
            for quoted, annotated in STORE_PATH.findall(line):
                found.add(quoted or annotated)
        # The mount points themselves are only looked at; leaving them out
        # keeps the points on the stores.
        self.store_paths = sorted(found - {"/mnt/DATA", "/mnt/NOR6"})
        answer, log = self.run(store_paths=self.store_paths)
        self.baseline = self.check(answer, fault=False)
        points, seen = [], {}
        for line in log.read_text().splitlines():
            match = CALL.match(line)
            if not match:
                continue
            call = match.group(1)
            seen[call] = seen.get(call, 0) + 1
            points.append(Point(len(points) + 1, call, seen[call], line))
        self.points = points
        return points

    # --- injection and the checks after it ----------------------------------

    def inject(self, point, kind):
        answer, log = self.run(point.inject(kind), self.store_paths)
        outcome = Outcome(point, kind, answer)
        lines = log.read_text().splitlines()
        if kind == "kill":
            reached = any("+++ killed by SIGKILL" in line for line in lines)
        else:
            reached = any("(INJECTED)" in line and CALL.match(line).group(1) == point.call
                          for line in lines if CALL.match(line))
        if not reached:
            outcome.problems.append("the injection point was not reached")
        outcome.problems += self.check(answer)
        return outcome

    def check(self, answer, fault=True):
        """Starts the service normally and checks every invariant."""
        op, b, problems = self.op, self.board, []
        expected = 7 if op.unreadable else 0
        allowed = {expected, 8, None} if fault else {expected}
        if op.request is not None and answer not in allowed:
            problems.append(f"the request answered {answer}")
        b.start(wait=False)
        try:
            b.wait_ready()
        except AssertionError as error:
            b.stop()
            return problems + [f"no first start after the fault: {str(error)[-300:]}"]
        for index, item in enumerate(self.items):
            got = self._read(item.token, item.user)
            live = self.live[index] if self.live else None
            if item.token in op.unreadable:
                want = {7}
            elif item.token != op.target:
                want = {item.value}
            elif op.request[0] == "StoreData":
                want = {op.new} if answer == 0 else {item.value, op.new}
            else:
                want = {3} if answer == 0 else {item.value, 3}
            if got not in want:
                problems.append(f"item {item.token} answers {got!r}, not one of {want}")
            if live is not None and live not in want:
                problems.append(f"item {item.token} answers {live!r} while still serving")
        if op.target is not None and op.target not in [i.token for i in self.items]:
            got = self._read(op.target, op.request[2])
            want = {op.new} if answer == 0 else {op.new, 3}
            if got not in want:
                problems.append(f"item {op.target} answers {got!r}, not one of {want}")
        if b.process.poll() is not None:
            problems.append("the service ended while answering")
        problems += self.live_problems
        b.stop()
        problems += self.check_files()
        return problems

    def _read(self, token, user):
        """The item's value, its status, or None without an answer."""
        try:
            status, data, _ = self.board.retrieve(token, user)
        except (AssertionError, subprocess.TimeoutExpired):
            return None
        return data if status == 0 else status

    def check_files(self):
        b, problems = self.board, []
        primary = {p.name: p.read_bytes() for p in b.keys_dir.glob("*.key")}
        backup = {p.name: p.read_bytes() for p in b.backup_dir.glob("*.key")}
        if primary != backup:
            problems.append(f"key copies differ: {sorted(primary)} / {sorted(backup)}")
        for uid, key in self.keys.items():
            if uid not in self.op.renews and primary.get(f"{uid:04d}.key") != key:
                problems.append(f"the key of {uid} changed")
        for directory in (b.items_dir, b.keys_dir, b.backup_dir):
            stray = [p.name for p in directory.iterdir() if p.name.startswith(".") and p.name != ".CRC"]
            if stray:
                problems.append(f"left in {directory.name}: {stray}")
        return problems


def spread(points, limit):
    """At most limit of the points, evenly spaced, first and last included."""
    if len(points) <= limit:
        return list(points)
    if limit == 1:
        return [points[0]]
    return [points[round(i * (len(points) - 1) / (limit - 1))] for i in range(limit)]


def choose(points, kind, limit):
    """The sample of one kind of fault: a medium error is injected first
    where each file is first touched (where it is most easily taken for a
    missing or damaged file), a kill or a full partition where the stores
    change (where a crash tears a change)."""
    eligible = [p for p in points if kind in p.kinds()]
    if kind == "eio":
        first = {}
        for point in eligible:
            first.setdefault(point.path, point)
        preferred = list(first.values())
    else:
        preferred = [p for p in eligible if p.changes]
    chosen = spread(preferred, limit)
    rest = [p for p in eligible if p not in chosen]
    return sorted(chosen + spread(rest, limit - len(chosen)), key=lambda p: p.index)


def run_operation(root, operation, limits=None, report=print):
    """Enumerates and injects; limits bounds the points per kind (None: all).
    Returns the outcomes that broke an invariant and the count of points."""
    harness = Harness(root, operation)
    harness.prepare()
    points = harness.enumerate()
    failed = [Outcome(Point(0, "none", 0, ""), "none", problems=harness.baseline)] \
        if harness.baseline else []
    injected = {}
    for kind in KINDS:
        chosen = [p for p in points if kind in p.kinds()] if limits is None \
            else choose(points, kind, limits[kind])
        injected[kind] = len(chosen)
        for point in chosen:
            outcome = harness.inject(point, kind)
            if outcome.problems:
                failed.append(outcome)
    report(f"{operation.name:26s} {len(points):4d} calls  "
           + "  ".join(f"{k} {injected[k]:3d}" for k in KINDS)
           + f"  failed {len(failed)}")
    for outcome in failed:
        report(f"    {outcome.kind:6s} at #{outcome.point.index} {outcome.point.line[:110]}")
        for problem in outcome.problems:
            report(f"        {problem}")
    return failed, len(points), injected
