#!/usr/bin/python3
"""Every fault at every store call of every operation of the security
service (as root): the fault-injection tier of the tests without its sample
bound. Prints, per operation, the file-system calls found on the stores, the
injections of each kind and the points where an invariant broke; at the end
the totals.

    bench/service_faults.py                     all operations, build/test
    bench/service_faults.py store-over clear-last
    ZEL_BUILD_DIR=<build> bench/service_faults.py
"""
import shutil
import sys
import time

from sanitized_service import require_root, scratch  # first: puts the test support on the path
from zelsupport import faults


def main(names):
    require_root("strace attaches to the service, clients run as other users")
    operations = [op for op in faults.OPERATIONS if not names or op.name in names]
    if not operations:
        raise SystemExit(f"no such operation; known: {', '.join(op.name for op in faults.OPERATIONS)}")
    root = scratch("zel-faults-")
    began = time.monotonic()
    calls = injections = failures = 0
    try:
        for operation in operations:
            failed, points, injected = faults.run_operation(root, operation, report=print)
            calls += points
            injections += sum(injected.values())
            failures += len(failed)
            sys.stdout.flush()
    finally:
        shutil.rmtree(root, ignore_errors=True)
    print(f"{len(operations)} operations, {calls} calls, {injections} injections, "
          f"{failures} failed, in {time.monotonic() - began:.0f} s")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
