"""The data partition as the board has it: ext4 on a card, here an image on
a loop device. The image can be mounted plainly, or through the logging
layer (zel-blocklog, FUSE) that records every write and flush reaching the
card, each with its arrival time; from the image as it was and that log,
any state a power cut could leave on the card is rebuilt (apply)."""
import hashlib
import os
import shutil
import struct
import subprocess
import time
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path

from . import paths

# As the board's data partition (board/soc/boot: the same mke2fs defaults,
# which give 1 KiB blocks at this size; mounted noatime as its fstab does).
SIZE = 28 << 20
DATA = "/mnt/DATA"
MOUNT_OPTIONS = "noatime"
RECORD = struct.Struct("<c3xIQQ")


@dataclass(frozen=True)
class BlockWrite:
    time: int          # arrival, CLOCK_REALTIME nanoseconds
    offset: int = 0
    data: bytes = b""  # empty for a flush

    @property
    def flush(self):
        return not self.data


def make(image):
    """A new, empty ext4 card image."""
    with open(image, "wb") as f:
        f.truncate(SIZE)
    subprocess.run(["mke2fs", "-q", "-F", "-t", "ext4", str(image)], check=True)


def run(*args):
    return subprocess.run(args, capture_output=True, text=True)


@contextmanager
def mounted(image, at, settle=True):
    """The image's file system at the folder; yields False if it does not
    mount (the card is then unusable for the service as for anybody). With
    settle, returns only once the file system has let go of the image, so
    that the image can be read or mounted again."""
    loop = run("losetup", "--show", "-f", str(image))
    assert loop.returncode == 0, loop.stderr
    device = loop.stdout.strip()
    try:
        ok = run("mount", "-t", "ext4", "-o", MOUNT_OPTIONS, device, str(at)).returncode == 0
        try:
            yield ok
        finally:
            if ok:
                umount(at)
    finally:
        run("losetup", "-d", device)
        if settle:
            released(image)


def released(image, timeout=30):
    """Waits until no loop device holds the image. A mount namespace of a
    sandbox that just ended can keep the file system alive after umount
    here returned; until it lets go, the file system may still write."""
    deadline = time.monotonic() + timeout
    while run("losetup", "-j", str(image)).stdout.strip():
        assert time.monotonic() < deadline, f"{image} is still held by a loop device"
        time.sleep(0.05)


def umount(at):
    for _ in range(50):
        if run("umount", str(at)).returncode == 0:
            return
        time.sleep(0.1)  # a sandbox that just ended may still hold it
    raise AssertionError(f"cannot unmount {at}: {run('umount', str(at)).stderr}")


@contextmanager
def logged(image, log, at, work):
    """As mounted, with every write and flush to the card appended to log."""
    fuse_dir = Path(work) / "fuse"
    fuse_dir.mkdir(parents=True, exist_ok=True)
    layer = subprocess.Popen([str(paths.host_built("tests/support/zel-blocklog")), str(image),
                              str(log), str(fuse_dir)], stdin=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 10
        while not (fuse_dir / "card").exists():
            assert layer.poll() is None and time.monotonic() < deadline, "zel-blocklog did not start"
            time.sleep(0.02)
        with mounted(fuse_dir / "card", at) as ok:
            assert ok, f"{image} does not mount"
            yield
    finally:
        run("fusermount3", "-u", "-z", str(fuse_dir))  # the loop device may let go of it late
        try:
            layer.wait(timeout=10)
        except subprocess.TimeoutExpired:
            layer.kill()
            layer.wait()


def read_log(log):
    """The writes and flushes of a log, in arrival order."""
    data, at, records = Path(log).read_bytes(), 0, []
    while at < len(data):
        kind, length, when, offset = RECORD.unpack_from(data, at)
        at += RECORD.size
        if kind == b"W":
            records.append(BlockWrite(when, offset, data[at:at + length]))
            at += length
        else:
            records.append(BlockWrite(when))
    return records


def apply(base, writes, image):
    """image = base with the writes applied in the given order; the
    image's digest, which names the state before anything mounts it."""
    shutil.copyfile(base, image)
    with open(image, "r+b") as f:
        for write in writes:
            f.seek(write.offset)
            f.write(write.data)
    digest = hashlib.sha1()
    for write in writes:
        digest.update(b"%d:" % write.offset + hashlib.sha1(write.data).digest())
    return digest.hexdigest()


def same_image(first, second):
    """Whether two images hold the same bytes."""
    with open(first, "rb") as a, open(second, "rb") as b:
        while True:
            block_a, block_b = a.read(1 << 20), b.read(1 << 20)
            if block_a != block_b:
                return False
            if not block_a:
                return True


def tree_digest(root, digest=None):
    """What a folder holds, as the service sees it: names, kinds, modes and
    contents of everything below it."""
    digest = digest or hashlib.sha1()
    root = Path(root)
    for path in sorted(root.rglob("*")):
        relative = str(path.relative_to(root)).encode() + b"%o" % path.lstat().st_mode
        if path.is_symlink():
            digest.update(b"L" + relative + os.readlink(path).encode())
        elif path.is_dir():
            digest.update(b"D" + relative)
        else:
            digest.update(b"F" + relative + b"\0" + hashlib.sha1(path.read_bytes()).digest())
    return digest
