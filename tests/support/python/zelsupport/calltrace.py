"""The security service's calls on the backup partition, read from an strace
log, and replayed onto a copy of the partition as it was: the partition's
state after any chosen set of them. On the board the partition is JFFS2 on
NOR flash, which has no write buffer: every call is on the flash when it
returns, so a power cut leaves the state at a call boundary.

Every call that names the backup, by a path or a descriptor, is either
understood (replayed, a flush, or one that changes nothing) or fails the
reading: a change missed here would make every rebuilt state wrong unseen.

Also found in the log: when the service sent a message on the bus (its
answer to a request is the last one), and when its flushes of the data card
returned."""
import codecs
import os
import re
from dataclasses import dataclass
from pathlib import Path

NOR = "/mnt/NOR6"
LINE = re.compile(r"^(\d+) +(\d+)\.(\d+) (.*)$")
UNFINISHED = " <unfinished ...>"
RESUMED = re.compile(r"^<\.\.\. \w+ resumed>(.*)$")
CALL = re.compile(r"^(\w+)\((.*)\) += (-?\d+|\?)(?:<([^>]*)>)?")
FD = re.compile(r"^(-?\d+|AT_FDCWD)(?:<(.*)>)?(?:\(deleted\))?$")
# Every call the service may make on the backup, by where its file is named:
# a descriptor first, a directory descriptor and a name, or a path. A call
# that names the backup and is not here fails the recording: it could
# change the folder unseen, and every state rebuilt without it would be
# wrong.
ON_FD = {"read", "pread64", "readv", "write", "pwrite64", "writev", "fstat", "fstatfs",
         "getdents64", "lseek", "close", "fcntl", "fsync", "fdatasync", "ftruncate", "fchmod",
         "sendmsg", "sendto"}
AT = {"openat", "newfstatat", "statx", "faccessat", "faccessat2", "readlinkat", "unlinkat",
      "mkdirat", "fchmodat"}
ON_PATH = {"open", "creat", "stat", "lstat", "access", "readlink", "statfs", "unlink", "mkdir",
           "rmdir", "chmod"}
RENAMES = {"rename", "renameat", "renameat2"}
LOOKS = {"read", "pread64", "readv", "fstat", "fstatfs", "getdents64", "lseek", "close",
         "newfstatat", "statx", "faccessat", "faccessat2", "readlinkat", "stat", "lstat", "access",
         "readlink", "statfs"}
FLUSHES = {"fsync", "fdatasync"}
SENDS = {"sendmsg", "sendto", "write", "writev"}
OPEN_FLAGS = ("O_WRONLY", "O_RDWR", "O_CREAT", "O_TRUNC", "O_EXCL", "O_APPEND", "O_NOFOLLOW",
              "O_DIRECTORY")


class NotUnderstood(AssertionError):
    """A call on the backup that the replay cannot reproduce."""


@dataclass(frozen=True)
class Call:
    time: int       # entry, CLOCK_REALTIME nanoseconds
    name: str       # "sync" for a flush, "reply" for a message on the bus
    args: tuple = ()


def split_args(text):
    """Top-level arguments of a call, quotes and brackets respected (a
    closing bracket counts only for its own opener: a socket shows as
    <UNIX-STREAM:[1->2]>)."""
    args, open_, quoted, start, i = [], [], False, 0, 0
    closers = {")": "(", "]": "[", "}": "{", ">": "<"}
    while i < len(text):
        c = text[i]
        if quoted:
            if c == "\\":
                i += 1
            elif c == '"':
                quoted = False
        elif c == '"':
            quoted = True
        elif c in "([{<":
            open_.append(c)
        elif c in closers and open_ and open_[-1] == closers[c]:
            open_.pop()
        elif c == "," and not open_:
            args.append(text[start:i].strip())
            start = i + 1
        i += 1
    args.append(text[start:].strip())
    return args


def string(arg):
    assert arg.startswith('"') and arg.endswith('"'), f"not a whole string: {arg[:80]}"
    return codecs.decode(arg[1:-1], "unicode_escape").encode("latin-1")


def fd(arg):
    """(number, path or None) of an fd argument as strace -y shows it."""
    match = FD.match(arg)
    assert match, arg
    return match.group(1), match.group(2)


def path_at(dir_arg, name_arg):
    name = string(name_arg).decode()
    folder = fd(dir_arg)[1]
    if name.startswith("/") or folder is None:
        return name
    return folder + "/" + name


def entries(log):
    """(pid, entry time ns, call text) of every call of the log, in order,
    a call that another thread interrupted put back together."""
    pending = {}
    for raw in Path(log).read_text(errors="replace").splitlines():
        match = LINE.match(raw)
        if not match:
            continue
        pid, seconds, fraction, text = match.groups()
        when = int(seconds) * 10**9 + int(fraction.ljust(9, "0")[:9])
        if text.endswith(UNFINISHED):
            pending[pid] = (when, text[:-len(UNFINISHED)])
            continue
        resumed = RESUMED.match(text)
        if resumed:
            when, head = pending.pop(pid)
            text = head + resumed.group(1)
        yield pid, when, text
    cut_off = [text for _, text in pending.values() if NOR in text]
    if cut_off:
        raise NotUnderstood(f"calls on the backup without an end: {cut_off}")


def read(log):
    """The calls that change or flush the backup and the messages sent on the
    bus, in order. Every line is read: a call on the backup that cannot be
    replayed raises NotUnderstood."""
    return [call for _, when, text in entries(log) for call in [parse(when, text)] if call]


def flushed(log, mount):
    """(entry, bound) in ns of every flush the service asked of a mount,
    bound being the entry of the thread's next call: the flush had returned
    by then."""
    calls, out = list(entries(log)), []
    for i, (pid, when, text) in enumerate(calls):
        match = CALL.match(text)
        if match and match.group(1) in FLUSHES and match.group(3) == "0" \
                and below(fd(split_args(match.group(2))[0])[1], mount):
            later = next((t for p, t, _ in calls[i + 1:] if p == pid), None)
            if later is not None:
                out.append((when, later))
    return out


def below(path, top=NOR):
    return path is not None and (path == top or path.startswith(top + "/"))


def named(name, args, result_path):
    """The paths and descriptors' paths a call names; None for a call this
    reader does not know."""
    if name in ON_FD:
        return [fd(args[0])[1]]
    if name in AT:
        return [path_at(args[0], args[1]), result_path]
    if name in ON_PATH:
        return [path_at("AT_FDCWD", args[0]), result_path]
    if name == "rename":
        return [path_at("AT_FDCWD", args[0]), path_at("AT_FDCWD", args[1])]
    if name in RENAMES:
        return [path_at(args[0], args[1]), path_at(args[2], args[3])]
    return None


def parse(when, text):
    match = CALL.match(text)
    if not match:
        if NOR in text:
            raise NotUnderstood(f"unreadable call on the backup: {text[:200]}")
        return None
    name, args, result, result_path = match.groups()
    args = split_args(args)
    if name in SENDS and "UNIX-STREAM" in args[0]:
        return Call(when, "reply")
    paths = named(name, args, result_path)
    if paths is None:
        if NOR in text:
            raise NotUnderstood(f"unknown call on the backup: {text[:200]}")
        return None
    if not any(below(path) for path in paths):
        return None
    if result == "?":
        raise NotUnderstood(f"call on the backup without a result: {text[:200]}")
    if result.startswith("-"):
        return None  # failed: changed nothing
    if name in FLUSHES:
        return Call(when, "sync")
    if name == "fcntl":
        if args[1].startswith("F_DUPFD"):
            raise NotUnderstood(f"a second descriptor of the backup: {text[:200]}")
        return None
    if name in ("open", "openat", "creat"):
        if name == "open":
            args = ["AT_FDCWD"] + args
        elif name == "creat":
            args = ["AT_FDCWD", args[0], "O_WRONLY|O_CREAT|O_TRUNC", args[1]]
        flags = args[2].split("|")
        if not {"O_WRONLY", "O_RDWR", "O_CREAT", "O_TRUNC"} & set(flags):
            return None  # a read changes nothing
        mode = int(args[3], 8) if len(args) > 3 else 0
        return Call(when, "open", (path_at(args[0], args[1]), tuple(f for f in flags if f in OPEN_FLAGS),
                                   mode, result))
    if name in LOOKS:
        return None
    if name in ("write", "pwrite64"):
        data = string(args[1])[:int(result)]
        offset = int(args[3]) if name == "pwrite64" else None
        return Call(when, "write", (fd(args[0])[0], data, offset))
    if name == "ftruncate":
        return Call(when, "ftruncate", (fd(args[0])[0], int(args[1])))
    if name == "fchmod":  # by path: a directory's descriptor is never opened for writing
        return Call(when, "chmod", (paths[0], int(args[1], 8)))
    if name in ("chmod", "fchmodat"):
        where = ["AT_FDCWD"] + args if name == "chmod" else args
        return Call(when, "chmod", (path_at(where[0], where[1]), int(where[2], 8)))
    if name in ("unlink", "rmdir"):
        return Call(when, name, (paths[0],))
    if name == "unlinkat":
        return Call(when, "rmdir" if "AT_REMOVEDIR" in args[2] else "unlink", (paths[0],))
    if name in ("mkdir", "mkdirat"):
        return Call(when, "mkdir", (paths[0], int(args[-1], 8)))
    if name in RENAMES and (name != "renameat2" or args[4] == "0"):
        return Call(when, "rename", tuple(paths))
    raise NotUnderstood(f"call on the backup this reader cannot replay: {text[:200]}")


def replay(calls, folder):
    """Applies the calls, in order, to the folder that stands for /mnt/NOR6.
    A call whose ground is missing (its file's creation was not kept) has no
    effect, as on the medium. With every call of a run, the folder ends as
    the run left it (PowerLoss.record checks that)."""
    def local(path):
        assert path == NOR or path.startswith(NOR + "/"), path
        return str(Path(folder) / path[len(NOR) + 1:])

    fds = {}
    try:
        for call in calls:
            try:
                apply_call(call, local, fds)
            except (FileNotFoundError, FileExistsError, NotADirectoryError, KeyError):
                pass
    finally:
        for number in fds.values():
            os.close(number)


def apply_call(call, local, fds):
    a = call.args
    if call.name == "open":
        path, flags, mode, number = a
        bits = 0
        for flag in flags:
            bits |= getattr(os, flag)
        if number in fds:
            os.close(fds.pop(number))
        fds[number] = os.open(local(path), bits, mode)
    elif call.name == "write":
        number, data, offset = a
        if offset is None:
            os.write(fds[number], data)
        else:
            os.pwrite(fds[number], data, offset)
    elif call.name == "ftruncate":
        os.ftruncate(fds[a[0]], a[1])
    elif call.name == "chmod":
        os.chmod(local(a[0]), a[1])
    elif call.name == "unlink":
        os.unlink(local(a[0]))
    elif call.name == "rmdir":
        os.rmdir(local(a[0]))
    elif call.name == "mkdir":
        os.mkdir(local(a[0]), a[1])
    elif call.name == "rename":
        os.rename(local(a[0]), local(a[1]))
