"""The security service's calls on the backup partition, read from an strace
log, and replayed onto a copy of the partition as it was: the partition's
state after any chosen set of them. On the board the partition is JFFS2 on
NOR flash, which has no write buffer: every call is on the flash when it
returns, so a power cut leaves the state at a call boundary.

Also found in the log: when the service sent a message on the bus (its
answer to a request is the last one)."""
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
FD = re.compile(r"^(-?\d+|AT_FDCWD)(?:<(.*)>)?$")
# Calls that change the backup (replayed), and those that flush it.
CHANGES = {"open", "openat", "creat", "write", "pwrite64", "ftruncate", "unlink", "unlinkat",
           "rename", "renameat", "renameat2", "mkdir", "mkdirat", "rmdir", "fchmod", "fchmodat",
           "chmod"}
FLUSHES = {"fsync", "fdatasync"}
SENDS = {"sendmsg", "sendto", "write", "writev"}
OPEN_FLAGS = ("O_WRONLY", "O_RDWR", "O_CREAT", "O_TRUNC", "O_EXCL", "O_APPEND", "O_NOFOLLOW",
              "O_DIRECTORY")


@dataclass(frozen=True)
class Call:
    time: int       # entry, CLOCK_REALTIME nanoseconds
    name: str       # "sync" for a flush, "reply" for a message on the bus
    args: tuple = ()


def split_args(text):
    """Top-level arguments of a call, quotes and brackets respected."""
    args, depth, quoted, start, i = [], 0, False, 0, 0
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
            depth += 1
        elif c in ")]}>":
            depth -= 1
        elif c == "," and depth == 0:
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
    if name.startswith("/"):
        return name
    return fd(dir_arg)[1] + "/" + name


def read(log):
    """The calls that change or flush the backup and the messages sent on the
    bus, in order; every line is read, so none is missed unnoticed."""
    calls, pending = [], {}
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
        call = parse(when, text)
        if call:
            calls.append(call)
    return calls


def parse(when, text):
    match = CALL.match(text)
    if not match:
        return None
    name, args, result, result_path = match.groups()
    args = split_args(args)
    if name in SENDS and "UNIX-STREAM" in args[0]:
        return Call(when, "reply")
    if result in ("-1", "?"):
        return None
    on_fd = name in FLUSHES or name in ("write", "pwrite64", "ftruncate", "fchmod")
    on_backup = (fd(args[0])[1] or "").startswith(NOR) if on_fd else NOR in text
    if not on_backup:
        return None
    if name in FLUSHES:
        return Call(when, "sync")
    if name not in CHANGES:
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
    if name in ("write", "pwrite64"):
        data = string(args[1])[:int(result)]
        offset = int(args[3]) if name == "pwrite64" else None
        return Call(when, "write", (fd(args[0])[0], data, offset))
    if name == "ftruncate":
        return Call(when, "ftruncate", (fd(args[0])[0], int(args[1])))
    if name in ("fchmod",):
        return Call(when, "fchmod", (fd(args[0])[0], int(args[1], 8)))
    if name in ("chmod", "fchmodat"):
        where = ["AT_FDCWD"] + args if name == "chmod" else args
        return Call(when, "chmod", (path_at(where[0], where[1]), int(where[2], 8)))
    if name in ("unlink", "rmdir"):
        return Call(when, name, (path_at("AT_FDCWD", args[0]),))
    if name == "unlinkat":
        return Call(when, "rmdir" if "AT_REMOVEDIR" in args[2] else "unlink",
                    (path_at(args[0], args[1]),))
    if name in ("mkdir", "mkdirat"):
        where = ["AT_FDCWD"] + args if name == "mkdir" else args
        return Call(when, "mkdir", (path_at(where[0], where[1]), int(where[2], 8)))
    where = ["AT_FDCWD", args[0], "AT_FDCWD", args[1]] if name == "rename" else args
    return Call(when, "rename", (path_at(where[0], where[1]), path_at(where[2], where[3])))


def replay(calls, folder):
    """Applies the calls, in order, to the folder that stands for /mnt/NOR6.
    A call whose ground is missing (its file's creation was not kept) has no
    effect, as on the medium."""
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
    elif call.name == "fchmod":
        os.fchmod(fds[a[0]], a[1])
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
