"""Attacks of local users on the stores of the security service, for the
hostile-users harness: each one adds its figures and the problems it found."""
import os
import subprocess
import time

from .board import Board, TEST_ACCOUNTS, write_accounts, word


def answer(board, member, payload, user=None):
    """The answer bytes, or None when the service did not answer."""
    try:
        return board.busctl(member, payload, user, timeout=10)
    except (AssertionError, subprocess.TimeoutExpired):
        return None


def store(board, token, value, user=None):
    got = answer(board, "StoreData", word(token) + word(0o600) + value, user)
    return got[0] if got else None, int.from_bytes(got[4:], "little") if got else 0


def retrieve(board, token, user=None):
    got = answer(board, "RetrieveData", word(token), user)
    return got[4:] if got and got[0] == 0 else got


def fill(board, outside, figures, problems):
    """carol stores 16 KiB items until refused; then alice stores and
    retrieves a new item, and every acknowledged item reads back."""
    board.start()
    pid, kept, began = board.service_pid(), {}, time.monotonic()
    while True:
        value = bytes([len(kept) % 250 + 1]) * 16384
        status = store(board, 0x1000 + len(kept), value, "carol")[0]
        if status != 0:
            break
        kept[0x1000 + len(kept)] = value
    fs = os.statvfs(board.data)
    figures["filler"] = f"{len(kept)} items in {time.monotonic() - began:.1f} s, then status {status}; " \
                        f"{fs.f_bfree * 100 // fs.f_blocks}% free"
    token = store(board, 0, b"alice's", "alice")[1]
    if retrieve(board, token, "alice") != b"alice's" or status != 4:
        problems.append("the filler took another user's room")
    if any(retrieve(board, token, "carol") != value for token, value in kept.items()):
        problems.append("an acknowledged item did not read back")
    if not (board.name_has_owner() and os.path.exists(f"/proc/{pid}")):
        problems.append("the service stopped")


def links(board, outside, figures, problems):
    """Links to carol's files and pipes under the names of items, keys,
    temporaries, markers and a subdirectory in each store, planted while the
    service is stopped; a link in place of ".CRC" and a pipe in place of an
    item while it serves."""
    board.start()
    store(board, 1, b"one")
    board.stop()
    stores = (board.items_dir, board.keys_dir, board.backup_dir)
    for directory, content in zip(stores, ("00000077.data", "2003.key", "2003.key")):
        for name in (content, f".{content}.tmp", f".{content}", "sub"):
            (directory / name).symlink_to(outside / ("papers" if name == "sub" else "secret"))
        os.mkfifo(directory / ("0" + content))
    board.start()
    figures["modes"] = sorted({oct(p.lstat().st_mode & 0o777) for d in stores for p in [d, *d.iterdir()]})
    (board.keys_dir / ".CRC").unlink()
    (board.keys_dir / ".CRC").symlink_to(outside / "secret")
    figures["first key beside a linked .CRC"] = store(board, 0, b"bob's", "bob")[0]
    board.restart()  # a stop after an internal error is repaired by the next start
    (board.items_dir / "00000001.data").unlink()
    os.mkfifo(board.items_dir / "00000001.data")
    figures["item turned pipe"] = retrieve(board, 1)
    if figures["modes"] != ["0o600", "0o700"] or store(board, 0, b"bob's", "bob")[0] != 0:
        problems.append("links left, modes other than 0600 and 0700, or bob not served")


def unsafe_directory(how):
    """carol made /mnt/DATA/vyrna before the first start, or the key
    directory is a link to her files: the service must not start."""
    def attack(board, outside, figures, problems):
        (board.data / "vyrna").mkdir()
        if how == "link":
            board.keys_dir.symlink_to(outside / "papers")
        else:
            os.chown(board.data / "vyrna", *TEST_ACCOUNTS["carol"])
        board.start(wait=False)
        try:
            board.wait_ready(timeout=10)
            problems.append("the service started")
        except AssertionError:
            figures["exit"] = (board.process.returncode, board.stderr().splitlines()[:1])
    return attack


def run(root, attack, data_size):
    """One attack on a board of its own; its figures and problems. Files of
    carol's outside the stores must never change."""
    board = Board(root / "board", accounts=write_accounts(root / "accounts"))
    subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={data_size}", "tmpfs", str(board.data)], check=True)
    outside = root / "outside"
    (outside / "papers").mkdir(parents=True)
    (outside / "secret").write_bytes(b"carol's own secret")
    (outside / "papers" / "notes").write_bytes(b"keep me")
    files = lambda: {p: (p.read_bytes(), p.stat().st_mtime_ns) for p in outside.rglob("*") if p.is_file()}
    before, figures, problems = files(), {}, []
    try:
        attack(board, outside, figures, problems)
    except AssertionError as error:  # the service did not start
        problems.append(str(error)[-200:])
    finally:
        board.stop()
        subprocess.run(["umount", "-l", str(board.data)], check=False)
    if files() != before:
        problems.append("a file outside the stores changed")
    return figures, problems
