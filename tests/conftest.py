import os
import shutil
import tempfile
from pathlib import Path

import pytest

from zelsupport.bus import PrivateBus


@pytest.fixture(scope="session")
def system_bus():
    """One private system bus for the whole run, torn down at the end."""
    bus = PrivateBus()
    bus.start()
    yield bus
    bus.close()


@pytest.fixture
def board_root():
    """A folder every test user can reach (the bus socket lives in it)."""
    root = Path(tempfile.mkdtemp(prefix="zel-board-"))
    os.chmod(root, 0o755)
    yield root
    shutil.rmtree(root, ignore_errors=True)
