#!/usr/bin/python3
"""Every power-cut state of every operation of the security service under
every crash model (as root): the power-loss tier of the tests without its
sample bound. Prints, per operation and model, the states enumerated once
and twice cut, the service runs they needed (states with the same files
share one), the states whose card does not mount and those that broke an
invariant, by what they lost; at the end the totals and the time.

    bench/service_powerloss.py                        all operations and models
    bench/service_powerloss.py store-over lying       some of them
    ZEL_BUILD_DIR=<build> bench/service_powerloss.py
"""
import shutil
import sys
import time
from collections import Counter

from sanitized_service import require_root, scratch  # first: puts the test support on the path
from zelsupport import faults, powerloss


def main(names):
    require_root("loop devices, mounts, strace, clients as other users")
    operations = [op for op in faults.OPERATIONS if not names or op.name in names]
    models = [m for m in powerloss.MODELS if m.name in names] or list(powerloss.MODELS)
    if not operations:
        raise SystemExit(f"no such operation; known: {', '.join(op.name for op in faults.OPERATIONS)}")
    root = scratch("zel-powerloss-")
    began = time.monotonic()
    totals = {}
    try:
        for operation in operations:
            out = powerloss.run_operation(root, operation, models, report=print)
            for model, tallies in out.items():
                for cuts, tally in zip(("1 cut", "2 cuts"), tallies):
                    if tally is not None:
                        total = totals.setdefault((model, cuts), [0, 0, 0, Counter()])
                        total[0] += tally.states
                        total[1] += tally.distinct
                        total[2] += len(tally.failed)
                        total[3] += tally.kinds()
            sys.stdout.flush()
    finally:
        shutil.rmtree(root, ignore_errors=True)
    for (model, cuts), (states, runs, failed, kinds) in totals.items():
        print(f"total {model:10s} {cuts:6s} {states:6d} states {runs:5d} service runs {failed:5d} failed"
              + powerloss.kinds_text(kinds))
    print(f"{len(operations)} operations in {time.monotonic() - began:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
