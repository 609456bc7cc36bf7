import pytest

from zelsupport import paths, vm

from suites import suites


@pytest.fixture(scope="session")
def kernel_vm():
    """One boot of the session's VM machine for the whole session."""
    return vm.boot(suites(vm.MACHINE), paths.BUILD_DIR / "vm")
