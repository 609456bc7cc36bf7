"""The tarn module in a real kernel (the VM rig): ptys in disciplines 2 and
8, the line master on the pty masters, station processes on the slaves, the
"debug" parameter through sysfs, and a stress of hangups, flushes and writers
against the receive path, after which every pool buffer is free again. On
the i.MX6Q machine the cases that take a line run once more on an i.MX
UART, with the line master on the host at the UART's far end."""
import re

import pytest

from suites import UART_CASES
from zelsupport import vm

pytestmark = pytest.mark.vm

TAP = re.compile(r"^(not ok|ok) \d+ - (\S+)", re.M)


@pytest.fixture(scope="module")
def result(kernel_vm):
    return kernel_vm.suite("tarn")


@pytest.fixture(scope="module")
def uart_result(kernel_vm):
    if vm.MACHINE != "imx6q":
        pytest.skip("the i.MX UARTs are the i.MX6Q machine's")
    return kernel_vm.suite("tarn-uart")


def cases(step):
    return {name: verdict == "ok" for verdict, name in TAP.findall(step.output)}


def test_module_loads_and_unloads(result):
    assert [(s.args, s.status) for s in result.loads] == [("tarn.ko", 0)], \
        [s.output for s in result.loads]
    assert [(s.args, s.status) for s in result.unloads] == [("tarn", 0)], \
        [s.output for s in result.unloads]
    assert "Quenmar TARN Driver, Version 01.2.01" in result.kernel_log


@pytest.mark.parametrize("case", ["module", "generic_examples", "moc_examples", "long_message",
                                  "ioctls", "blocking", "hangup", "ldisc_change", "debug",
                                  "pool"])
def test_case(result, case):
    step = result.runs[0]
    assert cases(step).get(case) is True, step.output


def test_stress_leaves_no_fault_and_every_buffer_free(result):
    step = result.runs[1]
    assert cases(step) == {"stress": True}, step.output
    assert step.status == 0, step.output
    assert re.search(r"# stress: \d+ bytes from the masters.* [1-9]\d* hangups", step.output), \
        step.output


def test_kernel_log_has_no_fault(result):
    assert not result.faults, result.kernel_log


def test_uart_module_loads_and_unloads_without_fault(uart_result):
    steps = uart_result.loads + uart_result.unloads
    assert [s.status for s in steps] == [0, 0], [s.output for s in steps]
    assert not uart_result.faults, uart_result.kernel_log


@pytest.mark.parametrize("case", UART_CASES)
def test_uart_case(uart_result, case):
    (step,) = uart_result.runs
    assert cases(step).get(case) is True, step.output
