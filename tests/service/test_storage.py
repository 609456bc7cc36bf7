"""The stores on real files across restarts: key directory repair, write
markers, malformed items, key renewal, and flushing before answering."""
import os
import re
import signal
import zlib
from pathlib import Path

from zelsupport import paths
from zelsupport.board import word


def crc_text(directory):
    contents = b"".join(p.read_bytes() for p in sorted(directory.iterdir())
                        if not p.name.startswith("."))
    return b"%X" % zlib.crc32(contents)


def key_files(directory):
    return {p.name: p.read_bytes() for p in directory.iterdir()}


def stored_board(board, items=((1, b"one"), (2, b"two"))):
    board.start()
    for token, data in items:
        assert board.store(token, 0o600, data)[:2] == (0, token)
    board.stop()
    return key_files(board.keys_dir)


def assert_items(board, items=((1, b"one"), (2, b"two"))):
    for token, data in items:
        assert board.retrieve(token)[:2] == (0, data)


def test_damaged_primary_key_directory_is_restored_from_the_backup(board):
    keys = stored_board(board)
    (board.keys_dir / "0000.key").write_bytes(bytes(128))
    board.start()
    assert key_files(board.keys_dir) == keys
    assert "storage damaged!" in board.stderr()
    assert_items(board)


def test_damaged_backup_is_rebuilt_from_the_primary(board):
    keys = stored_board(board)
    (board.backup_dir / ".CRC").write_bytes(b"not a number")
    board.start()
    assert key_files(board.backup_dir) == keys
    assert_items(board)


def test_interrupted_backup_writes_are_undone_at_start(board):
    keys = stored_board(board)
    # A key overwrite cut short: half a file and its marker.
    (board.backup_dir / "0000.key").write_bytes(b"half")
    (board.backup_dir / ".0000.key").write_bytes(b"")
    # A new key cut short.
    (board.backup_dir / "0042.key").write_bytes(b"partial")
    (board.backup_dir / ".0042.key").write_bytes(b"")
    board.start()
    assert key_files(board.backup_dir) == keys
    assert key_files(board.keys_dir) == keys
    assert_items(board)


def test_malformed_item_files_are_removed_at_start(board):
    stored_board(board)
    good = (board.items_dir / "00000001.data").read_bytes()
    (board.items_dir / "00000010.data").write_bytes(good[:16])
    (board.items_dir / "00000011.data").write_bytes(b"")
    (board.items_dir / "00000012.data").write_bytes(good)  # header says 1
    board.start()
    assert sorted(p.name for p in board.items_dir.iterdir()) == ["00000001.data",
                                                                  "00000002.data"]
    assert board.retrieve(0x12)[0] == 3
    assert_items(board)


def test_key_file_is_renewed_with_the_users_last_item(running):
    for token in (1, 2):
        running.store(token, 0o600, b"x")
    key = (running.keys_dir / "0000.key").read_bytes()
    assert running.clear(1)[0] == 0
    assert (running.keys_dir / "0000.key").read_bytes() == key
    assert running.clear(2)[0] == 0
    renewed = (running.keys_dir / "0000.key").read_bytes()
    assert renewed != key and len(renewed) == 128
    assert (running.backup_dir / "0000.key").read_bytes() == renewed
    for directory in (running.keys_dir, running.backup_dir):
        assert (directory / ".CRC").read_bytes() == crc_text(directory)
        assert not [p for p in directory.iterdir() if p.name.startswith(".0")]


def test_answers_come_after_every_change_is_flushed(board):
    """Under strace: each file written or removed, and its directory, is
    flushed (fsync) before the service sends its answer."""
    log = board.root / "strace.log"
    service = str(paths.built("apps/VyrnaSecurityManager/VyrnaSecurityManager"))
    # Leak checking does not work under ptrace.
    board.start(program=["sh", "-c", 'ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=0" exec "$@"', "-",
                         "strace", "-f", "-qq", "-y", "-o", str(log), "-e",
                         "trace=openat,fsync,fdatasync,unlink,unlinkat,renameat,rename,sendmsg,sendto",
                         service])
    assert board.store(0, 0o600, b"durable")[:2] == (0, 1)   # new key, new item
    assert board.clear(1)[0] == 0                             # removal, key renewal
    tracer = board.service_pid()
    children = Path(f"/proc/{tracer}/task/{tracer}/children").read_text().split()
    os.kill(int(children[0]), signal.SIGTERM)  # strace ends with its tracee
    board.wait()

    opened = {}            # fd -> (kind, path) of what it refers to now
    unflushed = set()      # files written since their last fsync
    dirty_dirs = set()     # directories with entries changed since their last fsync
    checked = written = 0
    for line in log.read_text().splitlines():
        call = re.match(r"\d+\s+(\w+)\((.*)\)\s+=\s+(-?\d+)", line)
        if not call:
            continue
        name, args, result = call.group(1), call.group(2), int(call.group(3))
        # A path of the stores: absolute, or relative to an open directory.
        at = re.match(r'\d+<(/mnt/[^>]*)>, "([^"]*)"', args)
        absolute = re.search(r'"(/mnt/[^"]*)"', args)
        path = f"{at.group(1)}/{at.group(2)}" if at else absolute.group(1) if absolute else None
        if name == "openat" and result >= 0:
            if not path:
                opened.pop(result, None)
            elif "O_DIRECTORY" in args:
                opened[result] = ("dir", path)
            elif "O_WRONLY" in args or "O_RDWR" in args:
                opened[result] = ("file", path)
                written += 1
                unflushed.add(path)
                dirty_dirs.add(os.path.dirname(path))
            else:
                opened[result] = ("read", path)
        elif name in ("unlink", "unlinkat", "rename", "renameat") and path and result == 0:
            unflushed.discard(path)
            dirty_dirs.add(os.path.dirname(path))
        elif name in ("fsync", "fdatasync") and result == 0:
            kind, target = opened.get(int(re.match(r"\d+", args).group()), (None, None))
            (unflushed if kind == "file" else dirty_dirs).discard(target)
        elif name in ("sendmsg", "sendto"):
            assert not unflushed and not dirty_dirs, f"answer sent before flushing {unflushed} {dirty_dirs}"
            checked += 1
    assert checked >= 4  # uid query and answer, for each of the two calls


def flip(path, offset):
    content = bytearray(path.read_bytes())
    content[offset % len(content)] ^= 0x10
    path.write_bytes(bytes(content))


def truncate(path, length):
    path.write_bytes(path.read_bytes()[:length])


def extend(path, length):
    path.write_bytes(path.read_bytes() + bytes(range(length)))


def rename(path, name):
    path.rename(path.with_name(name))


# (file, damage, its arguments, what a retrieve of the damaged item may
# answer after the restart). The item file is 48 bytes: header and two
# cipher blocks.
DAMAGE = [
    ("item", flip, [0, 3], {3}),                    # token: no longer matches its name
    ("item", flip, [4, 7], {4}),                    # owner: someone else's, without a key
    ("item", flip, [12, 15], {7}),                  # stored CRC-32
    ("item", flip, [16, 31, 32, 47], {7}),          # ciphertext, both blocks
    ("item", truncate, [0, 16], {3}),               # empty, header only: deleted at start
    ("item", truncate, [17, 32, 40], {7}),          # torn, or a block short
    ("item", extend, [1, 16], {7}),                 # torn, or a block more
    ("item", rename, ["00000009.data"], {3}),       # another item's name: deleted at start
    ("item", rename, ["1.data"], {7}),              # indexed, but its file is missing
    ("key", flip, [0, 79, 127], {0}),               # primary key file: restored
    ("key", truncate, [0, 64], {0}),
    ("key", extend, [1], {0}),
    ("key", rename, ["0001.key"], {0}),
    ("backup", flip, [0, 127], {0}),                # backup key file: rebuilt
    ("backup", truncate, [0, 127], {0}),
    ("crc", flip, [0], {0}),                        # primary .CRC: restored
    ("crc", truncate, [0], {0}),
    ("backup-crc", flip, [0], {0}),                 # backup .CRC: rebuilt
    ("backup-crc", extend, [1], {0}),
]


def test_damaged_files_never_yield_a_wrong_secret_nor_cost_another(board):
    """One stored file damaged at a time (a byte flipped, cut, extended,
    emptied, renamed), then a restart: the damaged item answers its secret
    or a clear refusal, never another secret; the other item is untouched
    and the service keeps serving."""
    secret, other = b"exactly this secret", b"the other secret"
    board.start()
    board.store(1, 0o600, secret)
    board.store(2, 0o600, other)
    board.stop()
    pristine = {p: p.read_bytes() for d in (board.keys_dir, board.backup_dir, board.items_dir)
                for p in d.iterdir()}
    files = {"item": board.items_dir / "00000001.data", "key": board.keys_dir / "0000.key",
             "backup": board.backup_dir / "0000.key", "crc": board.keys_dir / ".CRC",
             "backup-crc": board.backup_dir / ".CRC"}
    for name, damage, arguments, allowed in DAMAGE:
        for argument in arguments:
            for directory in (board.keys_dir, board.backup_dir, board.items_dir):
                for extra in set(directory.iterdir()) - set(pristine):
                    extra.unlink()
            for path, content in pristine.items():
                path.write_bytes(content)
            damage(files[name], argument)
            board.start()
            status, data, _ = board.retrieve(1)
            case = (name, damage.__name__, argument)
            assert status in allowed, (case, status)
            if status == 0:
                assert data == secret, case
            assert board.retrieve(2)[:2] == (0, other), case
            assert board.process.poll() is None, case
            board.stop()
