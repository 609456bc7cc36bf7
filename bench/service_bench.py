#!/usr/bin/python3
"""Benchmark of the security service on the simulated board (as root).

Prints: StoreData and RetrieveData round trips per second for 16-byte and
4 KiB secrets through the real bus and the device bridge, against a bare
echo peer on the same bus in the same run (the ratio); StoreData against a
bare durable replace of a file of the item's size (write a temporary, flush
it, rename it, flush the directory) on the same file system, in alternating
rounds of the same run (the ratio); what a StoreData costs besides the
medium (its time less the bare replace's, both on a tmpfs) and the bound
that cost puts on that ratio; the service's resident memory; its start-up
time with 10,000 items of 100 users.

    scripts/bench vyrna_service             with the other benchmarks' build
    bench/service_bench.py                  builds build/bench (Release) first
    ZEL_BUILD_DIR=<build> bench/service_bench.py
    bench/service_bench.py LABEL=SERVICE... the figures of each service program
                                            (another build's, say) in one run;
                                            the start-ups share one filled state
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

TOP = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(TOP / "tests" / "support" / "python"))

TARGETS = ["VyrnaSecurityManager", "vcrypto_bridge", "zel_bare_echo_service", "vyrna_roundtrip"]


def build():
    if "ZEL_BUILD_DIR" not in os.environ:
        build_dir = TOP / "build" / "bench"
        subprocess.run(["cmake", "-S", str(TOP), "-B", str(build_dir), "-DCMAKE_BUILD_TYPE=Release"],
                       check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", str(build_dir), "-j2", "--target", *TARGETS],
                       check=True, stdout=subprocess.DEVNULL)
        os.environ["ZEL_BUILD_DIR"] = str(build_dir)
    os.environ["ZEL_BUS_CONFIG"] = str(TOP / "tests" / "support" / "dbus" / "test-bus.conf")
    os.environ.pop("ASAN_OPTIONS", None)


build()
from zelsupport import paths  # noqa: E402  (reads ZEL_BUILD_DIR)
from zelsupport.board import Board, as_user  # noqa: E402

SERVICE = str(paths.built("apps/VyrnaSecurityManager/VyrnaSecurityManager"))
ECHO = str(paths.built("tests/support/zel_bare_echo_service"))
CLIENT = str(paths.built("bench/vyrna_roundtrip"))


def timed(target, mode, size, calls, user=None, first=None):
    """Seconds that vyrna_roundtrip took for the calls (target: a bus
    address, or a directory for the bare replace)."""
    args = [CLIENT, target, mode, str(size), str(calls)] + ([hex(first)] if first else [])
    out = subprocess.run(args, capture_output=True, text=True, timeout=3600,
                         preexec_fn=as_user(user) if user else None)
    if out.returncode != 0:
        raise SystemExit(f"{mode} failed: {out.stderr}")
    return float(re.search(r"calls in ([0-9.]+) s", out.stdout).group(1))


def roundtrip(board, mode, size, calls, user=None, first=None):
    return calls / timed(board.address, mode, size, calls, user, first)


def item_file_bytes(size):
    """What an item of a secret of size bytes takes on disk: the header,
    then the padded ciphertext of the prefix count, 1 to 16 random bytes
    and the secret."""
    return 16 + (size // 16 + 1) * 16


def against_bare_replace(board, size, rounds=6, calls=150):
    """StoreData overwriting one item and a bare durable replace of a file
    of the same size beside the item directory, in alternating rounds:
    both rates, so that the file system's state weighs on both alike."""
    bare_dir = board.data / "bare-replace"
    bare_dir.mkdir(exist_ok=True)
    store = bare = 0.0
    for _ in range(rounds):
        store += timed(board.address, "store", size, calls)
        bare += timed(str(bare_dir), "replace", item_file_bytes(size), calls)
    shutil.rmtree(bare_dir)
    return rounds * calls / store, rounds * calls / bare


def on_a_tmpfs(root, service):
    """against_bare_replace for both sizes with the data partition on a
    tmpfs, where writing and flushing cost next to nothing: the difference
    of the two times is what a store costs besides the medium (the bus, the
    device, the service's own work)."""
    board = Board(root)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64m", "tmpfs", str(board.data)], check=True)
    try:
        board.start(program=[service])
        rates = {size: against_bare_replace(board, size) for size in (16, 4096)}
        board.stop()
    finally:
        subprocess.run(["umount", str(board.data)], check=True)
    return rates


def memory(pid):
    status = Path(f"/proc/{pid}/status").read_text()
    return {key: status.split(key + ":")[1].split()[0] + " kB" for key in ("VmRSS", "VmHWM")}


def throughput(root, label, service):
    board = Board(root)
    board.start(program=["sh", "-c", f'{ECHO} com.zel.test.Echo >/dev/null & exec "$0"', service])
    print(f"[{label}] Round trips through the real bus (one call at a time), device bridge, "
          "fsync on each change:")
    for size in (16, 4096):
        calls = 2000 if size == 16 else 1000
        rates = {mode: roundtrip(board, mode, size, calls) for mode in ("echo", "store", "retrieve")}
        print(f"  {size:5d}-byte secret: StoreData {rates['store']:7.0f}/s "
              f"({rates['store'] / rates['echo']:.2f} of echo), RetrieveData {rates['retrieve']:7.0f}/s "
              f"({rates['retrieve'] / rates['echo']:.2f} of echo), bare echo {rates['echo']:7.0f}/s")
    replaces = {}
    for size in (16, 4096):
        store, replaces[size] = against_bare_replace(board, size)
        print(f"  {size:5d}-byte secret: StoreData {store:7.0f}/s, bare durable replace of its "
              f"{item_file_bytes(size)}-byte file {replaces[size]:7.0f}/s on the same file system: "
              f"{store / replaces[size]:.2f} of the bare replace")
    mem = memory(board.service_pid())
    print(f"  service memory after these: resident {mem['VmRSS']}, peak {mem['VmHWM']}")
    board.stop()
    # A store makes the bare replace's calls and flushes, and besides them a
    # bus round trip, a device job and the service's work: those bound the
    # ratio above from above, whatever the service does.
    for size, (store, bare) in on_a_tmpfs(root.with_name(root.name + "-tmpfs"), service).items():
        store_ms, bare_ms, replace_ms = 1000 / store, 1000 / bare, 1000 / replaces[size]
        besides = store_ms - bare_ms
        print(f"  {size:5d}-byte secret on a tmpfs: StoreData {store_ms:.3f} ms, bare replace "
              f"{bare_ms:.3f} ms: {besides:.3f} ms besides the medium; with the replace's "
              f"{replace_ms:.3f} ms above, StoreData reaches at most "
              f"{replace_ms / (replace_ms + besides):.2f} of the bare replace")


def startup(root, services, users=100, items_per_user=100, runs=5):
    accounts = root / "accounts"
    accounts.mkdir()
    passwd = Path("/etc/passwd").read_text()
    group = Path("/etc/group").read_text()
    for n in range(users):
        uid = 3000 + n
        passwd += f"u{n}:x:{uid}:{uid}::/nonexistent:/usr/sbin/nologin\n"
        group += f"u{n}:x:{uid}:\n"
    (accounts / "passwd").write_text(passwd)
    (accounts / "group").write_text(group)

    # Filled by the first service; each start finds the stores intact and
    # changes nothing, so every service starts on the same state.
    board = Board(root / "st", accounts=accounts)
    board.start(program=[services[0][1]])
    began = time.monotonic()
    for n in range(users):
        roundtrip(board, "fill", 16, items_per_user, user=(3000 + n, 3000 + n),
                  first=1 + n * items_per_user)
    filled = time.monotonic() - began
    board.stop()
    items = len(list(board.items_dir.iterdir()))
    keys = len([p for p in board.keys_dir.iterdir() if p.suffix == ".key"])
    print(f"Start-up with {items} items of {keys} users (filled through the bus in {filled:.0f} s), "
          "the services taking turns:")

    # Inside the board, one start at a time, the services taking turns; the
    # client hears the bus announce the name, so nothing polls meanwhile.
    script = f"""
        for i in $(seq {runs}); do
          for service in "$@"; do
            printf '%s ' "$service"
            {CLIENT} unix:path=/run/dbus/system_bus_socket startup 1 "$service" || exit 1
          done
        done"""
    board.start(program=["sh", "-c", script, "sh", *(path for _, path in services)], wait=False)
    if board.wait(timeout=600) != 0:
        raise SystemExit(f"start-up runs failed: {board.stderr()}")
    out = board.stdout()
    for label, path in services:
        runs_of = re.findall(rf"^{re.escape(path)} startup_ms ([0-9.]+) rss_kb (\d+)", out, re.M)
        times = sorted(float(ms) for ms, _ in runs_of)
        print(f"  [{label}] time to serving (start to the bus's announcement of its name), "
              f"sorted: {', '.join(f'{t:.0f}' for t in times)} ms; "
              f"resident memory once serving: {runs_of[-1][1] if runs_of else '?'} kB")


def main():
    if os.geteuid() != 0:
        raise SystemExit("run as root: the board sandbox and the 100 users need it")
    services = [tuple(arg.split("=", 1)) for arg in sys.argv[1:]] or [("this build", SERVICE)]
    for label, path in services:
        if not os.access(path, os.X_OK):
            raise SystemExit(f"{label}: {path} is not a program")
    root = Path(tempfile.mkdtemp(prefix="zel-bench-"))
    os.chmod(root, 0o755)
    try:
        for number, (label, path) in enumerate(services):
            throughput(root / f"rt{number}", label, path)
        startup(root, services)
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
