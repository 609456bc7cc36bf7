"""The tarn module in a real kernel (the VM rig): ptys in disciplines 2 and
8, the line master on the pty masters, station processes on the slaves, the
"debug" parameter through sysfs, and a stress of hangups, flushes and writers
against the receive path, after which every pool buffer is free again."""
import re

import pytest

pytestmark = pytest.mark.vm

TAP = re.compile(r"^(not ok|ok) \d+ - (\S+)", re.M)


@pytest.fixture(scope="module")
def result(kernel_vm):
    return kernel_vm.suite("tarn")


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
