import pytest

from zelsupport import paths, vm

from suites import SUITES


@pytest.fixture(scope="session")
def kernel_vm():
    """One boot of the installed Debian kernel for the whole session."""
    return vm.boot(SUITES, paths.BUILD_DIR / "vm")
