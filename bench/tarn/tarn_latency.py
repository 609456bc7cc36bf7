#!/usr/bin/python3
"""Poll-to-answer latency of the tarn module in the VMs (TCG): median and
99th percentile from the line master's last byte to the whole answer, for
polls, selections and pending frames. Over a pty in the x86-64 VM and in the
emulated i.MX6Q, and over the i.MX6Q's UART ttymxc0 with the line master on
this machine at the UART's far end.

    /usr/bin/python3 bench/tarn/tarn_latency.py [--polls N] [--uart-polls N]
        [--build-dir DIR] [--no-build]

Builds what it needs without sanitizers into build/bench, and the ARM
program into build/bench-arm (scripts/bench runs it on its own build with
--no-build, which still builds the ARM program). Prints figures; never fails
on a time. Times under TCG are the emulator's, not the board's.
"""
import argparse
import os
import subprocess
import sys
import tempfile
from pathlib import Path

TOP = Path(__file__).resolve().parents[2]
PROGRAM = "bench/tarn/tarn_latency"


def build(build_dir, target, *options):
    subprocess.run(["cmake", "-S", str(TOP), "-B", str(build_dir), "-DCMAKE_BUILD_TYPE=Release",
                    "-DZEL_SANITIZE=", "-DZEL_BUILD_TESTS=OFF", *options], check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(build_dir), "-j2", "--target", target],
                   check=True, stdout=subprocess.DEVNULL)


def measure(vm, machine, runs):
    """runs: (suite name, program path, args, line master wanted)."""
    suites = [vm.Suite(name, sources=["kernel/tarn"], modules=[("tarn.ko", "")],
                       programs=[(str(program), args)], line_master=uart)
              for name, program, args, uart in runs]
    with tempfile.TemporaryDirectory() as out:
        result = vm.boot(suites, Path(out), timeout=900, machine=machine)
    for name, *_ in runs:
        (run,) = result.suite(name).runs
        for line in run.output.splitlines():
            print(f"[{machine}] {line}")
        if run.status != 0:
            print(f"latency program ended with status {run.status}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--polls", type=int, default=2000)
    parser.add_argument("--uart-polls", type=int, default=1000)
    parser.add_argument("--build-dir", type=Path, default=TOP / "build" / "bench")
    parser.add_argument("--no-build", action="store_true")
    args = parser.parse_args()
    build_dir = args.build_dir.resolve()
    arm_dir = build_dir.with_name(build_dir.name + "-arm")
    os.environ["ZEL_BUILD_DIR"] = os.environ["ZEL_HOST_BUILD_DIR"] = str(build_dir)
    sys.path.insert(0, str(TOP / "tests" / "support" / "python"))
    if not args.no_build:
        build(build_dir, "tarn_latency")
        build(build_dir, "tarn_uart_master")
    build(arm_dir, "tarn_latency",
          f"-DCMAKE_TOOLCHAIN_FILE={TOP}/cmake/toolchains/armhf.cmake")

    from zelsupport import vm

    print("TCG timings: the emulator's, not the board's; compare the lines with each other")
    measure(vm, "x86_64", [("pty", build_dir / PROGRAM, str(args.polls), False)])
    arm_program = arm_dir / PROGRAM
    measure(vm, "imx6q", [
        ("pty", arm_program, str(args.polls), False),
        ("uart", arm_program, f"--uart /dev/ttymxc0 /dev/ttymxc2 {args.uart_polls}", True)])


if __name__ == "__main__":
    main()
