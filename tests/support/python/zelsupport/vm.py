"""The VM rig from pytest: kernel modules built with kbuild against the
installed Debian kernel, that kernel booted once in qemu (TCG) with a busybox
initramfs, and the results handed back. The machine is $ZEL_VM_MACHINE:
x86_64 (default) or imx6q, QEMU's i.MX6Q board with Debian's ARMv7 kernel,
whose programs come from an armhf build.

A suite names the modules to load (in order; unloaded in reverse) and the
static test programs to run while they are loaded. One boot runs every suite
in turn:

    suite = Suite("vcrypto",
                  sources=["kernel/caam-sim", "kernel/vcrypto"],
                  modules=[("caam-sim.ko", "reveal=1"), ("vcrypto.ko", "")],
                  programs=[("tests/kernel/programs/vcrypto_device_test", "")])
    run = boot([suite], out_dir)
    result = run.suite("vcrypto")
    result.loads, result.runs, result.unloads   # Step: status, output
    result.commands                             # Step of each shell command
    result.kernel_log                           # the kernel log of this suite

Sources are directories under the source tree, built in order (later ones
see the earlier ones' symbols); programs are paths in the test build;
commands are shell commands run after the programs, modules still loaded.
A suite with line_master has the host line master at the far end of the
i.MX6Q's UARTs (tarn_uart_master, from the host build). The shell side is
board/vm/build-modules and board/vm/run.

The kernel boots with SLUB debugging on every cache and page poisoning
(board/vm/run). After a suite's programs, every slab cache is checked, so
that corruption of objects nobody touched again is reported too, inside the
suite's part of the log. result.faults lists the lines of that part which
report a fault (KERNEL_FAULTS) and any check that could not run; every suite
asserts that it is empty.
"""
import os
import re
import subprocess
from dataclasses import dataclass, field
from pathlib import Path

from . import paths

VM_DIR = paths.SOURCE_DIR / "board" / "vm"
MACHINE = os.environ.get("ZEL_VM_MACHINE", "x86_64")
UART_MASTER = "tests/kernel/programs/tarn_uart_master"

# Kernel log lines that report a fault: oopses, BUG_ON, warnings and
# lockups, with a backtrace ("Call Trace" on x86, "unwind_backtrace from" on
# ARM); the SLUB debugging reports ("BUG kmalloc-1k (Not tainted): Poison
# overwritten", "Right Redzone overwritten", "Object padding overwritten",
# "FIX kmalloc-1k: Restoring ..."); page poisoning; list corruption.
KERNEL_FAULTS = re.compile("|".join([
    r"BUG:", r"kernel BUG at", r"Oops", r"general protection", r"Kernel panic",
    r"Unable to handle kernel",
    r"WARNING:", r"Call Trace", r"unwind_backtrace from", r"UBSAN", r"KASAN", r"refcount_t",
    r"BUG \S+ \([^)]*\): ", r"FIX \S+: ",
    r"Poison overwritten", r"Redzone overwritten", r"Object padding", r"Padding overwritten",
    r"pagealloc: (memory corruption|single bit error)",
    r"list_(add|del) corruption",
    r"blocked for more than \d+ seconds",
]))

# Checks every slab cache now (red zones of live objects, poison of free
# ones); fails when there was none to check.
SLAB_CHECK = ("sh n=0; for v in /sys/kernel/slab/*/validate; do echo 1 >$v && n=$((n+1)); done; "
              "echo slab caches checked: $n; [ $n -gt 0 ]")


@dataclass
class Suite:
    name: str
    sources: list
    modules: list          # (ko file name, "param=value ..."), load order
    programs: list         # (path in the test build, "args")
    commands: list = field(default_factory=list)
    line_master: bool = False


@dataclass
class Step:
    index: int
    status: int
    verb: str
    args: str
    output: str = ""


@dataclass
class SuiteResult:
    name: str
    loads: list = field(default_factory=list)
    runs: list = field(default_factory=list)
    unloads: list = field(default_factory=list)
    commands: list = field(default_factory=list)   # the suite's shell commands
    checks: list = field(default_factory=list)     # shell steps of the rig
    kernel_log: str = ""

    @property
    def faults(self):
        """Fault reports in this suite's kernel log, and failed checks."""
        found = [line for line in self.kernel_log.splitlines() if KERNEL_FAULTS.search(line)]
        found += [f"step {s.index} failed ({s.status}): {s.args}\n{s.output}"
                  for s in self.checks if s.status != 0]
        return found


def module_name(ko):
    """The name rmmod knows a module by (dashes become underscores)."""
    return Path(ko).stem.replace("-", "_")


def build_modules(sources, out, machine=MACHINE):
    """Builds module source directories; returns {ko file name: path}."""
    result = subprocess.run(
        [str(VM_DIR / "build-modules"), "--machine", machine, str(out),
         *[str(paths.SOURCE_DIR / s) for s in sources]],
        capture_output=True, text=True, timeout=600)
    if result.returncode != 0:
        raise RuntimeError("module build failed:\n" + result.stderr)
    return {Path(p).name: Path(p) for p in result.stdout.split()}


def _plan(suites):
    lines = []
    for s in suites:
        lines.append(f"suite {s.name}")
        lines.append(f"sh echo zelvm-suite-begin {s.name} > /dev/kmsg")
        lines += [f"load {ko} {params}".rstrip() for ko, params in s.modules]
        lines += [f"run {Path(p).name} {args}".rstrip() for p, args in s.programs]
        lines += [f"sh {command}" for command in s.commands]
        lines.append(SLAB_CHECK)
        lines += [f"unload {module_name(ko)}" for ko, _ in reversed(s.modules)]
        lines.append(f"sh echo zelvm-suite-end {s.name} > /dev/kmsg")
    return "\n".join(lines) + "\n"


class VmRun:
    def __init__(self, out, suites):
        self.out = Path(out)
        self.console = (self.out / "console.log").read_text(errors="replace")
        self.kernel_log = (self.out / "kernel.log").read_text(errors="replace")
        if "Linux version" not in self.kernel_log:
            raise RuntimeError(f"the kernel log lost its beginning (buffer overrun); see {self.out}")
        self._suites = {}
        commands = {s.name: set(s.commands) for s in suites}
        current = None
        for line in (self.out / "steps").read_text().splitlines():
            index, status, verb, *rest = line.split(" ", 3)
            args = rest[0] if rest else ""
            if verb == "suite":
                current = self._suites[args] = SuiteResult(args)
                current.kernel_log = self._suite_log(args)
                continue
            output_file = self.out / "out" / index
            step = Step(int(index), int(status), verb, args,
                        output_file.read_text(errors="replace") if output_file.exists() else "")
            if verb == "load":
                current.loads.append(step)
            elif verb == "run":
                current.runs.append(step)
            elif verb == "unload":
                current.unloads.append(step)
            elif verb == "sh" and args in commands[current.name]:
                current.commands.append(step)
            elif verb == "sh":
                current.checks.append(step)
        missing = [s.name for s in suites if s.name not in self._suites]
        if missing:
            raise RuntimeError(f"suites {missing} did not run; see {self.out}/console.log")

    def _suite_log(self, name):
        lines, inside = [], False
        for line in self.kernel_log.splitlines():
            if f"zelvm-suite-begin {name}" in line:
                inside = True
            elif f"zelvm-suite-end {name}" in line:
                inside = False
            elif inside:
                lines.append(line)
        return "\n".join(lines)

    def suite(self, name):
        return self._suites[name]


class UartMaster:
    """The host line master at the far end of the i.MX6Q's UARTs: listens
    on two sockets in out, which the machine's UARTs connect to."""

    def __init__(self, out):
        self.line, self.control = out / "line.sock", out / "control.sock"
        self.log = out / "uart-master.log"
        with open(self.log, "w") as log:
            self.process = subprocess.Popen(
                [str(paths.host_built(UART_MASTER)), str(self.line), str(self.control)],
                stdout=subprocess.PIPE, stderr=log, text=True)
        if self.process.stdout.readline() != "listening\n":
            self.process.kill()
            raise RuntimeError(f"the line master did not start; see {self.log}")

    def args(self):
        return ["--uart1", str(self.line), "--uart3", str(self.control)]

    def stop(self):
        """It ends when the machine closes the channel; the rig has ended
        the machine by now."""
        try:
            self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.process.stdout.close()


def boot(suites, out, timeout=300, machine=MACHINE):
    """Builds every suite's modules, boots once, runs all suites."""
    out = Path(out)
    out.mkdir(parents=True, exist_ok=True)
    sources = []
    for s in suites:
        sources += [src for src in s.sources if src not in sources]
    built = build_modules(sources, out / "modules", machine)
    args = ["--machine", machine]
    for s in suites:
        for ko, _ in s.modules:
            args += ["--module", str(built[ko])]
        for program, _ in s.programs:
            args += ["--program", str(paths.built(program))]
    plan = out / "plan"
    plan.write_text(_plan(suites))
    master = UartMaster(out) if any(s.line_master for s in suites) else None
    try:
        result = subprocess.run(
            [str(VM_DIR / "run"), "--out", str(out / "run"), "--plan", str(plan),
             "--timeout", str(timeout), *args, *(master.args() if master else [])],
            capture_output=True, text=True, timeout=timeout + 60)
    finally:
        if master:
            master.stop()
    if result.returncode != 0:
        raise RuntimeError("VM run failed:\n" + result.stderr)
    return VmRun(out / "run", suites)
