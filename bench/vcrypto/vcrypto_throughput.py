#!/usr/bin/python3
"""Encryption throughput of /dev/vcrypto for 4 KiB and 256 KiB requests (the
largest request: 261984 bytes of data), through the host device bridge and
through the VM device, with the CAAM jobs per request (ceil(N / 16336)).

    /usr/bin/python3 bench/vcrypto/vcrypto_throughput.py [--seconds S]
        [--build-dir DIR] [--no-build]

Builds what it needs without sanitizers into build/bench (scripts/bench
runs it on its own build with --no-build). Prints figures; never fails on a
time.
"""
import argparse
import math
import os
import subprocess
import sys
import tempfile
from pathlib import Path

TOP = Path(__file__).resolve().parents[2]

SIZES = [4096, 261984]
JOB_BYTES = 16336


def build(build_dir):
    subprocess.run(["cmake", "-S", str(TOP), "-B", str(build_dir), "-DCMAKE_BUILD_TYPE=Release",
                    "-DZEL_SANITIZE=", "-DZEL_BUILD_TESTS=OFF"], check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(build_dir), "-j2", "--target", "vcrypto_bridge",
                    "vcrypto_bench", "vcrypto_bench_static"], check=True,
                   stdout=subprocess.DEVNULL)


def parse(text):
    figures = {}
    for line in text.split():
        if "=" in line:
            key, value = line.split("=", 1)
            figures[key] = float(value)
    return figures


def host(seconds, build_dir):
    bench = build_dir / "bench" / "vcrypto" / "vcrypto_bench"
    bridge = build_dir / "board" / "vcrypto-bridge" / "libvcrypto-bridge.so"
    rows = []
    with tempfile.TemporaryDirectory() as state:
        for size in SIZES:
            run = subprocess.run(
                [str(TOP / "board" / "sandbox"), f"--vcrypto={state}", "--",
                 str(bench), str(size), str(seconds)],
                env={**os.environ, "ZEL_VCRYPTO_BRIDGE": str(bridge)},
                capture_output=True, text=True, check=True)
            figures = parse(run.stdout)
            jobs = int(Path(state, "jobs").read_text())
            figures["jobs/request"] = jobs / figures["requests"]
            rows.append(figures)
    return rows


def in_vm(seconds):
    from zelsupport import vm

    jobs_file = "/sys/module/caam_sim/parameters/jobs"
    suite = vm.Suite(
        "vcrypto-bench", sources=["kernel/caam-sim", "kernel/vcrypto"],
        modules=[("caam-sim.ko", ""), ("vcrypto.ko", "")],
        programs=[("bench/vcrypto/vcrypto_bench_static", f"{size} {seconds} {jobs_file}")
                  for size in SIZES])
    with tempfile.TemporaryDirectory() as out:
        result = vm.boot([suite], Path(out), timeout=600).suite("vcrypto-bench")
        return [parse(step.output) for step in result.runs]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--build-dir", type=Path, default=TOP / "build" / "bench")
    parser.add_argument("--no-build", action="store_true")
    args = parser.parse_args()
    build_dir = args.build_dir.resolve()
    # zelsupport finds built programs through ZEL_BUILD_DIR.
    os.environ["ZEL_BUILD_DIR"] = str(build_dir)
    sys.path.insert(0, str(TOP / "tests" / "support" / "python"))
    if not args.no_build:
        build(build_dir)
    print(f"{'where':<12}{'request':>10}{'MB/s':>10}{'jobs/request':>14}{'expected':>10}")
    for where, rows in (("host bridge", host(args.seconds, build_dir)), ("VM (TCG)", in_vm(args.seconds))):
        for r in rows:
            size = int(r["size"])
            print(f"{where:<12}{size:>10}{r['MB/s']:>10.1f}{r['jobs/request']:>14.2f}"
                  f"{math.ceil(size / JOB_BYTES):>10}")


if __name__ == "__main__":
    main()
