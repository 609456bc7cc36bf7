"""The VM rig's memory debugging: a module that overruns one slab object and
writes into a freed one must have both reported, and result.faults must
name them, or no suite's "no fault" could be trusted."""
import pytest

pytestmark = pytest.mark.vm


def test_slab_corruption_is_reported_as_faults(kernel_vm):
    result = kernel_vm.suite("slab_fault")
    assert [s.status for s in result.loads] == [0], [s.output for s in result.loads]
    faults = "\n".join(result.faults)
    assert "Right Redzone overwritten" in faults, result.kernel_log
    assert "Poison overwritten" in faults, result.kernel_log
    assert all(s.status == 0 for s in result.checks), [s.output for s in result.checks]
