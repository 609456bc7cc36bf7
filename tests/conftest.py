import pytest

from zelsupport.bus import PrivateBus


@pytest.fixture(scope="session")
def system_bus():
    """One private system bus for the whole run, torn down at the end."""
    bus = PrivateBus()
    bus.start()
    yield bus
    bus.close()
