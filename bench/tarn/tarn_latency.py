#!/usr/bin/python3
"""Poll-to-answer latency of the tarn module over a pty in the VM (TCG):
median and 99th percentile from the line master's last byte to the whole
answer, for polls, selections and pending frames.

    /usr/bin/python3 bench/tarn/tarn_latency.py [--polls N] [--build-dir DIR] [--no-build]

Builds what it needs without sanitizers into build/bench (scripts/bench runs
it on its own build with --no-build). Prints figures; never fails on a time.
"""
import argparse
import os
import subprocess
import sys
import tempfile
from pathlib import Path

TOP = Path(__file__).resolve().parents[2]


def build(build_dir):
    subprocess.run(["cmake", "-S", str(TOP), "-B", str(build_dir), "-DCMAKE_BUILD_TYPE=Release",
                    "-DZEL_SANITIZE=", "-DZEL_BUILD_TESTS=OFF"], check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(build_dir), "-j2", "--target", "tarn_latency"],
                   check=True, stdout=subprocess.DEVNULL)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--polls", type=int, default=2000)
    parser.add_argument("--build-dir", type=Path, default=TOP / "build" / "bench")
    parser.add_argument("--no-build", action="store_true")
    args = parser.parse_args()
    build_dir = args.build_dir.resolve()
    os.environ["ZEL_BUILD_DIR"] = str(build_dir)
    sys.path.insert(0, str(TOP / "tests" / "support" / "python"))
    if not args.no_build:
        build(build_dir)

    from zelsupport import vm

    suite = vm.Suite("tarn-bench", sources=["kernel/tarn"], modules=[("tarn.ko", "")],
                     programs=[("bench/tarn/tarn_latency", str(args.polls))])
    with tempfile.TemporaryDirectory() as out:
        (run,) = vm.boot([suite], Path(out), timeout=600).suite("tarn-bench").runs
    print(run.output, end="")
    if run.status != 0:
        print(f"latency program ended with status {run.status}")


if __name__ == "__main__":
    main()
