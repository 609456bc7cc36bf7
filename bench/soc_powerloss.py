#!/usr/bin/python3
"""The power-loss tier's media models checked once against the emulated
board. QEMU's blklogwrites driver logs every write and flush that reaches
the SD card and the NOR flash while the board's service (the armhf build,
under systemd, on Debian's armmp kernel) stores a first key, and in another
boot overwrites an item, each from the same prepared board. Every prefix of
each log is then rebuilt and mounted: the data partition as ext4 here, the
backup partition as JFFS2 in the x86-64 VM rig (board/vm/run: Debian's own
kernel has the MTD and JFFS2 modules that this machine's kernel lacks) at
every word the flash took. What the service's folders hold in each prefix
must be a state that the tier enumerates for the same operation on this
machine: its in-order card states and the backup's call boundaries.

Files are compared by what they hold relative to the run's own media
before and after the operation (keys and ciphertexts differ between the two
machines): unchanged, the new content of some file, empty, or other
content of a given size.

    bench/soc_powerloss.py [OPERATION...]    (as root; QEMU TCG: minutes)

The armhf build is $ZEL_SOC_BUILD_DIR or build/board/armhf (made with
board/soc/packages when it has no packages), assembled by board/soc/image
unless $ZEL_SOC_IMAGE names a board image already made; the host build, for
the tier's own states, is $ZEL_BUILD_DIR or build/test.
"""
import base64
import glob
import hashlib
import os
import shutil
import struct
import subprocess
import sys
import time
from pathlib import Path

from sanitized_service import require_root, scratch, TOP  # first: puts the test support on the path
from zelsupport import card, calltrace, faults, powerloss, soc

OPERATIONS = ("store-first-key", "store-over")
SECTOR = 512
DATA_PART = 8192 * SECTOR        # partition 4 of the SD card (board/soc/boot)
# Where the board mounts its backup partition from: the MTD partition under
# /mnt/NOR6 as the board's kernel numbered it, its offset, size and erase
# block (the flash's partitions are taken from the board, not assumed).
NOR_PARTITION = r"""
n=$(awk '$2 == "/mnt/NOR6" {print $1}' /proc/mounts); n=${n#/dev/mtdblock}
cat /sys/class/mtd/mtd$n/name /sys/class/mtd/mtd$n/offset /sys/class/mtd/mtd$n/size \
    /sys/class/mtd/mtd$n/erasesize
"""
LOG_MAGIC, LOG_FLUSH, LOG_DISCARD = 0x6A736677736872, 1, 4
# Every boot starts from the same image: the accounts are made each time.
ACCOUNTS = [f"echo '{name}:x:{uid}:{uid}::/nonexistent:/usr/sbin/nologin' >> /etc/passwd; "
            f"echo '{name}:x:{uid}:' >> /etc/group"
            for name, uid in (("alice", faults.uid_of("alice")), ("bob", faults.uid_of("bob")))]


# --- the board ----------------------------------------------------------------

def board_image():
    build = Path(os.environ.get("ZEL_SOC_BUILD_DIR", TOP / "build" / "board" / "armhf"))
    if not glob.glob(str(build / "packages" / "*.deb")):
        subprocess.run([str(TOP / "board" / "soc" / "packages"), str(build)], check=True)
    return subprocess.run(
        [str(TOP / "board" / "soc" / "image"),
         "--switch-model", str(build / "board" / "switch-model" / "zel-switch-model"),
         "--caam-sim", str(build / "kmod" / "caam-sim" / "caam-sim.ko"),
         *sorted(glob.glob(str(build / "packages" / "*.deb")))],
        check=True, capture_output=True, text=True).stdout.strip()


def boot(image, state, steps, logs=None):
    """One boot of the board running the steps; {case name: (status, out)}."""
    args = [str(TOP / "board" / "soc" / "boot"), "--image", image, "--state", str(state),
            "--eeprom", "none"] + (["--log-writes", str(logs)] if logs else [])
    script = soc.PRELUDE + "\n".join(steps) + "\n"
    result = subprocess.run(args + ["--", "bash", "-c", script], stdin=subprocess.DEVNULL,
                            capture_output=True, timeout=1800)
    cases = {}
    for line in result.stdout.decode("latin-1").splitlines():
        if line.startswith("@@CASE "):
            _, name, status, out, err = line.split(" ")
            cases[name] = (int(status), base64.b64decode(out[:-1]).decode("latin-1"),
                           base64.b64decode(err[:-1]).decode("latin-1"))
    if result.returncode != 0:
        raise SystemExit(f"the board failed ({result.returncode}): {result.stderr.decode()[-2000:]}")
    return cases


def request_steps(name, operation):
    member, payload, user = operation.request
    uid = None if user is None else faults.uid_of(user)
    return [soc.check(name, soc.call(member, payload, uid))]


def answered(cases, name):
    status, out, err = cases[name]
    words = out.split()
    assert status == 0 and words[:1] == ["ay"] and words[2] == "0", (name, status, out, err)


def nor_partition(cases):
    """(name, offset, size, erase block) of the partition under /mnt/NOR6."""
    status, out, err = cases["mtd"]
    words = out.split()
    assert status == 0 and len(words) == 4, (status, out, err)
    return words[0], int(words[1]), int(words[2]), int(words[3])


# --- the logs -----------------------------------------------------------------

def read_log(path):
    """The writes of a dm-log-writes log in order, as (offset, bytes), and
    its flushes. Its super block counts the entries up to the last flush;
    the entries after it are read until the first empty one."""
    data = Path(path).read_bytes()
    if not data:
        return [], 0     # nothing reached the medium: no super block either
    magic, _, counted, sector_size = struct.unpack_from("<QQQI", data, 0)
    assert magic in (0, LOG_MAGIC) and sector_size in (0, SECTOR), (magic, sector_size)
    writes, flushes, entries, at = [], 0, 0, SECTOR
    while at + 32 <= len(data):
        sector, count, flags, _ = struct.unpack_from("<QQQQ", data, at)
        if not (sector or count or flags):
            break
        entries += 1
        at += SECTOR
        assert not flags & LOG_DISCARD, "a discard: no model of what it leaves"
        if flags & LOG_FLUSH:
            flushes += 1
        if count:
            writes.append((sector * SECTOR, data[at:at + count * SECTOR]))
            at += count * SECTOR
    assert entries >= counted, f"{path}: {entries} entries, the super block counts {counted}"
    return writes, flushes


def partition_writes(writes, start, size):
    """The writes that fall in a partition, relative to it."""
    inside = [(offset - start, data) for offset, data in writes if start <= offset < start + size]
    assert all(o + len(d) <= size for o, d in inside), "a write across a partition's end"
    return inside


# --- what the folders hold ------------------------------------------------------

def files(root):
    """{path below root: (size, md5) of a file, None for a folder} of the
    service's folders."""
    root, out = Path(root), {}
    for path in sorted((root / "vyrna").rglob("*")) if (root / "vyrna").is_dir() else ():
        relative = str(path.relative_to(root))
        out[relative] = None if path.is_dir() else (path.stat().st_size,
                                                    hashlib.md5(path.read_bytes()).hexdigest())
    if (root / "vyrna").is_dir():
        out["vyrna"] = None
    return out


def abstract(tree, before, after):
    """The tree with each file named by what it holds relative to the
    medium before and after the operation."""
    def tag(path, held):
        if held is None:
            return ("folder",)
        if held[0] == 0:
            return ("empty",)
        if before.get(path) == held:
            return ("as before",)
        if after.get(path) == held:
            return ("as after",)
        for label, side in (("as after", after), ("as before", before)):
            for other, content in sorted(side.items()):
                if content == held:
                    return (label, other)
        return ("other", held[0])
    return frozenset((path, tag(path, held)) for path, held in tree.items())


def card_tree(base, writes, work):
    """The folders of the card image base with the writes applied, or None
    if it does not mount."""
    image, mount = work / "prefix.img", work / "mnt"
    mount.mkdir(exist_ok=True)
    card.apply(base, [card.BlockWrite(0, offset, data) for offset, data in writes], image)
    with card.mounted(image, mount) as ok:
        return files(mount) if ok else None


# --- the tier's own states on this machine --------------------------------------

def host_states(operation, work):
    """(card trees, backup trees) abstracted, of every in-order state of
    one recording of the operation on this machine."""
    harness = powerloss.PowerLoss(work, operation)
    base, backup = harness.prepare()
    recording = harness.record(base, backup, operation.request)
    events = recording.events
    writes = [(e.offset, e.data) for e in events if isinstance(e, card.BlockWrite) and not e.flush]
    calls = [e for e in events if isinstance(e, calltrace.Call) and e.name not in ("sync", "reply")]
    scratch = harness.work / "host"
    scratch.mkdir(exist_ok=True)
    card_before, card_after = card_tree(base, [], scratch), card_tree(base, writes, scratch)
    harness.set_backup(backup)
    backup_before = files(harness.board.nor)
    calltrace.replay(calls, harness.board.nor)
    backup_after = files(harness.board.nor)
    cards, backups, seen = set(), set(), {}
    for state in powerloss.states(recording, powerloss.MODELS[0]):
        if state.card not in seen:
            tree = card_tree(base, [(events[i].offset, events[i].data) for i in state.card], scratch)
            seen[state.card] = tree
            cards.add(abstract(tree, card_before, card_after))
        harness.set_backup(backup)
        calltrace.replay([events[i] for i in state.backup], harness.board.nor)
        backups.add(abstract(files(harness.board.nor), backup_before, backup_after))
    return cards, backups


# --- the backup partition's prefixes in the x86-64 VM rig -----------------------

NOR_CHECK = r"""
set -u
insmod /modules/mtd.ko && insmod /modules/mtdram.ko total_size=%(kib)d erase_size=%(erase_kib)d \
  && insmod /modules/jffs2.ko || exit 1
dd if=/programs/nor-base.img of=/dev/mtd0 bs=4096 2>/dev/null || exit 1
mkdir -p /m
k=0
look() {
  if mount -t jffs2 -o ro mtd0 /m 2>/dev/null; then
    (cd /m && find vyrna 2>/dev/null | sort | while read -r f; do
       if [ -d "$f" ]; then echo "D $f"; else echo "F $f $(wc -c < "$f") $(md5sum < "$f" | cut -d' ' -f1)"; fi
     done) > /tmp/now
    umount /m
    if cmp -s /tmp/now /tmp/last; then echo "@@SAME $k"; else echo "@@TREE $k"; cat /tmp/now; fi
    mv /tmp/now /tmp/last
  else
    echo "@@UNMOUNTABLE $k"; rm -f /tmp/last
  fi
}
look
while read -r skip count seek; do
  k=$((k + 1))
  dd if=/programs/nor-writes.bin of=/dev/mtd0 bs=512 skip="$skip" count="$count" seek="$seek" \
     conv=notrunc 2>/dev/null || exit 1
  look
done < /programs/nor-writes.txt
"""


def nor_trees(base, writes, erase, work):
    """{prefix length: the folders, or None if JFFS2 does not mount it},
    every prefix of the writes on the partition image base."""
    vm = work / "vm"
    vm.mkdir(exist_ok=True)
    shutil.copyfile(base, vm / "nor-base.img")
    table, at = [], 0
    with open(vm / "nor-writes.bin", "wb") as blob:
        for offset, data in writes:
            assert offset % SECTOR == 0 and len(data) % SECTOR == 0
            blob.write(data)
            table.append(f"{at} {len(data) // SECTOR} {offset // SECTOR}")
            at += len(data) // SECTOR
    (vm / "nor-writes.txt").write_text("\n".join(table) + "\n")
    size = Path(base).stat().st_size
    (vm / "nor-check.sh").write_text(NOR_CHECK % {"kib": size // 1024, "erase_kib": erase // 1024})
    (vm / "plan").write_text("sh sh /programs/nor-check.sh\n")
    version = subprocess.run([str(TOP / "board" / "vm" / "find-kernel")], check=True,
                             capture_output=True, text=True).stdout.split()[0]
    modules = Path("/lib/modules") / version / "kernel"
    args = [str(TOP / "board" / "vm" / "run"), "--out", str(vm / "out"), "--plan", str(vm / "plan"),
            "--timeout", "3600"]
    for module in ("drivers/mtd/mtd.ko", "drivers/mtd/devices/mtdram.ko", "fs/jffs2/jffs2.ko"):
        args += ["--module", str(modules / module)]
    for name in ("nor-base.img", "nor-writes.bin", "nor-writes.txt", "nor-check.sh"):
        args += ["--program", str(vm / name)]
    subprocess.run(args, check=True)
    out = (vm / "out" / "out" / "1").read_text().splitlines()
    trees, current, tree = {}, None, None
    for line in out:
        word = line.split()
        if line.startswith("@@"):
            current = int(word[1])
            if word[0] == "@@TREE":
                tree = {}
            elif word[0] == "@@UNMOUNTABLE":
                tree = None
            trees[current] = tree
        elif word[0] == "D":
            tree[word[1]] = None
        elif word[0] == "F":
            tree[word[1]] = (int(word[2]), word[3])
    assert len(trees) == len(writes) + 1, f"the VM checked {len(trees)} of {len(writes) + 1} prefixes"
    return trees


# --- one operation ----------------------------------------------------------------

def check_operation(name, image, prepared, work):
    operation = next(op for op in faults.OPERATIONS if op.name == name)
    state, logs = work / "state", work / "logs"
    shutil.copytree(prepared, state)
    began = time.monotonic()
    cases = boot(image, state, ACCOUNTS + request_steps("operation", operation)
                 + [soc.check("mtd", ["sh", "-c", NOR_PARTITION])], logs)
    answered(cases, "operation")
    booted = time.monotonic() - began
    nor_name, nor_offset, nor_size, erase = nor_partition(cases)
    host_cards, host_backups = host_states(operation, work / "host")

    card_writes, card_flushes = read_log(logs / "card.log")
    nor_writes, nor_flushes = read_log(logs / "nor.log")
    with open(prepared / "card.img", "rb") as whole:
        whole.seek(DATA_PART)
        (work / "data.img").write_bytes(whole.read(card.SIZE))
    with open(prepared / "nor.img", "rb") as whole:
        whole.seek(nor_offset)
        (work / "nor6.img").write_bytes(whole.read(nor_size))
    data_writes = partition_writes(card_writes, DATA_PART, card.SIZE)
    backup_writes = partition_writes(nor_writes, nor_offset, nor_size)

    data_trees = [card_tree(work / "data.img", data_writes[:k], work) for k in range(len(data_writes) + 1)]
    began_nor = time.monotonic()
    backup_trees = nor_trees(work / "nor6.img", backup_writes, erase, work)
    nor_time = time.monotonic() - began_nor
    # The card takes a file-system block as several 512-byte sectors, one
    # at a time: a prefix may end inside a block, which no write the file
    # system made leaves whole (the host's card sees whole writes).
    block = 1024 << struct.unpack_from("<I", (work / "data.img").read_bytes(), 1024 + 24)[0]
    torn = {k for k in range(1, len(data_writes) + 1)
            if (data_writes[k - 1][0] + len(data_writes[k - 1][1])) % block}
    unknown = report(name, f"SD card, ext4 ({block} B blocks)", card_writes, card_flushes, data_writes,
                     data_trees, host_cards, torn)
    unknown += report(name, f"NOR {nor_name}, JFFS2 ({erase // 1024} KiB blocks)", nor_writes, nor_flushes,
           backup_writes, [backup_trees[k] for k in range(len(backup_writes) + 1)], host_backups, set())
    print(f"    board boot and operation {booted:.0f} s, JFFS2 prefixes in the VM {nor_time:.0f} s")
    return unknown


def report(name, medium, logged, flushes, writes, trees, host, torn):
    """Prints how the prefixes compare with the tier's states: those that
    end on a file-system block's boundary, then those that end inside one.
    Returns how many distinct states the tier does not enumerate."""
    mounted = [t for t in trees if t is not None]
    before, after, missed = mounted[0], mounted[-1], 0
    print(f"{name:16s} {medium}: {len(logged)} writes logged ({flushes} flushes), "
          f"{len(writes)} in the partition, {len(trees)} prefixes")
    for kind, chosen in (("whole", [k for k in range(len(trees)) if k not in torn]), ("torn", sorted(torn))):
        if not chosen:
            continue
        seen = {abstract(trees[k], before, after) for k in chosen if trees[k] is not None}
        unknown = [s for s in seen if s not in host]
        print(f"    {len(chosen):5d} {kind:5s} prefixes: {sum(trees[k] is None for k in chosen)} do not mount, "
              f"{len(seen)} distinct states, {len(seen) - len(unknown)} of them among the tier's "
              f"{len(host)}, {len(unknown)} not")
        for state in unknown:
            at = [k for k in chosen if trees[k] is not None and abstract(trees[k], before, after) == state]
            print(f"        not enumerated by the tier (prefixes {at[0]} to {at[-1]}, {len(at)} of them):",
                  sorted(state))
        missed += len(unknown)
        for k in chosen:
            if trees[k] is None:
                print(f"        does not mount: {k} writes, the last at byte {writes[k - 1][0]} of the partition")
    return missed


def main(names):
    require_root("QEMU's board, loop devices, mounts")
    began = time.monotonic()
    image = os.environ.get("ZEL_SOC_IMAGE") or board_image()
    work = scratch("zel-soc-powerloss-")
    done, missed = False, 0
    try:
        prepared = work / "prepared"
        steps = ACCOUNTS + [s for item in faults.COMMON for s in request_steps(
            f"store-{item.token}", faults.Operation("", faults.store_request(item.token, item.value, item.user,
                                                                              item.mode)))]
        cases = boot(image, prepared, steps)
        for item in faults.COMMON:
            answered(cases, f"store-{item.token}")
        for name in names or OPERATIONS:
            (work / name).mkdir()
            missed += check_operation(name, image, prepared, work / name)
        done = True
    finally:
        if done and not missed:
            shutil.rmtree(work, ignore_errors=True)
        else:
            print(f"left for a look: {work}", file=sys.stderr)
    print(f"{len(names or OPERATIONS)} operations in {time.monotonic() - began:.0f} s "
          "(emulated i.MX6Q and x86-64 VM under QEMU TCG on this machine)")
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main([name for name in sys.argv[1:] if name in OPERATIONS]))
