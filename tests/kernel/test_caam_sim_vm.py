"""The CAAM stand-in's kernel build in a real kernel (the VM rig): the job
cases of its host unit suite, on the kernel's DMA mappings, each ending with
the status the hardware gives."""
import re

import pytest

pytestmark = pytest.mark.vm


def test_every_job_case_ends_as_on_the_hardware(kernel_vm):
    result = kernel_vm.suite("caam-sim")
    assert [(s.args, s.status) for s in result.loads + result.unloads] == [
        ("caam-sim.ko", 0), ("caam-sim-jobcheck.ko", 0), ("caam_sim_jobcheck", 0),
        ("caam_sim", 0)]
    cases = re.findall(r"caam-sim-jobcheck: (ok|not ok) \d+ - (.*)", result.kernel_log)
    assert len(cases) >= 12 and all(verdict == "ok" for verdict, _ in cases), result.kernel_log
    assert not result.faults, result.kernel_log
