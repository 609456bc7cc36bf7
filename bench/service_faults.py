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
import os
import shutil
import sys
import tempfile
import time
from pathlib import Path

TOP = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(TOP / "tests" / "support" / "python"))
os.environ.setdefault("ZEL_BUILD_DIR", str(TOP / "build" / "test"))
# As the test command runs the sanitized service.
os.environ.setdefault("ASAN_OPTIONS", "detect_leaks=1:abort_on_error=0:strict_string_checks=1")
os.environ.setdefault("LSAN_OPTIONS", "print_suppressions=0")

from zelsupport import faults  # noqa: E402


def main(names):
    if os.geteuid() != 0:
        raise SystemExit("run as root: strace attaches to the service, clients run as other users")
    operations = [op for op in faults.OPERATIONS if not names or op.name in names]
    if not operations:
        raise SystemExit(f"no such operation; known: {', '.join(op.name for op in faults.OPERATIONS)}")
    root = Path(tempfile.mkdtemp(prefix="zel-faults-"))
    os.chmod(root, 0o755)
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
