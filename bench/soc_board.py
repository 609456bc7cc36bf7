#!/usr/bin/python3
"""The whole board on the emulated i.MX6Q (QEMU's TCG on this machine, not
the board's speed): time from power-on to the security service being up,
and store/retrieve round trips through the bus on the booted board. Prints
figures; never fails on a time.

    bench/soc_board.py      (as root; builds what scripts/board --soc builds)
"""
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

TOP = Path(__file__).resolve().parents[1]
ROUNDS = 10

# On the board: when systemd started and when the service became active (on
# the monotonic clock, from the kernel's start; systemd-analyze time would
# wait for the end of the boot, which this script is part of), then the
# round trips, each timed with the board's clock.
SCRIPT = r"""
set -euo pipefail
echo "userspace-us $(systemctl show -P UserspaceTimestampMonotonic)"
echo "service-active-us $(systemctl show -P ActiveEnterTimestampMonotonic vyrna-security-manager)"
call() { busctl --system call com.zel.vyrna.SecurityManager / com.zel.vyrna "$@" >/dev/null; }
for round in $(seq %d); do
  start=$(date +%%s%%N)
  call StoreData ay 12 66 0 0 0 128 1 0 0 1 2 3 4
  stored=$(date +%%s%%N)
  call RetrieveData ay 4 66 0 0 0
  done=$(date +%%s%%N)
  echo "round $(( (stored - start) / 1000 )) $(( (done - stored) / 1000 ))"
done
""" % ROUNDS


def main():
    with tempfile.TemporaryDirectory(prefix="soc-bench-") as state:
        build = TOP / "build" / "board" / "armhf"
        subprocess.run([str(TOP / "board" / "soc" / "packages"), str(build)], check=True)
        env = dict(os.environ, ZEL_BOARD_STATE=state, ZEL_SOC_BUILD_DIR=str(build))
        start = time.monotonic()
        result = subprocess.run([str(TOP / "scripts" / "board"), "--soc", "--", "bash", "-c",
                                 SCRIPT], env=env, capture_output=True, text=True)
        wall = time.monotonic() - start
        if result.returncode != 0:
            print(result.stdout, result.stderr, file=sys.stderr)
            return 1
        ready = Path(state, "ready").read_text().split()
    lines = result.stdout.splitlines()
    rounds = [tuple(int(v) for v in line.split()[1:]) for line in lines if line.startswith("round ")]
    words = [line.split() for line in lines]
    stamps = {w[0]: int(w[1]) for w in words if len(w) == 2 and w[0].endswith("-us")}
    active = stamps["service-active-us"]
    print("emulated i.MX6Q (QEMU TCG, 2 cores, on this machine; not the board's speed)")
    print(f"  systemd started {stamps['userspace-us'] / 1e6:.1f} s after the kernel")
    print(f"  service up {active / 1e6:.1f} s after the kernel started "
          f"(the board reported it at {float(ready[0]):.1f} s)")
    print(f"  one run as seen from the host (image look-up, boot, script): {wall:.1f} s")
    stores = sorted(r[0] for r in rounds)
    retrieves = sorted(r[1] for r in rounds)
    print(f"  StoreData round trip (busctl, {len(rounds)} rounds): first {rounds[0][0] / 1e3:.0f} ms, "
          f"median {stores[len(stores) // 2] / 1e3:.0f} ms")
    print(f"  RetrieveData round trip: first {rounds[0][1] / 1e3:.0f} ms, "
          f"median {retrieves[len(retrieves) // 2] / 1e3:.0f} ms")
    return 0


if __name__ == "__main__":
    sys.exit(main())
