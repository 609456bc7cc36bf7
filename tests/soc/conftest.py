"""The boots of the SoC tier: each runs all its steps at once (a boot takes
a minute or more under TCG), the tests then judge the cases."""
import os
import random
import sys
from pathlib import Path

import pytest

from zelsupport import soc

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))
from toolsupport import v3_image  # noqa: E402

import steps  # noqa: E402

# The tier runs from scripts/test-soc, which builds the board's packages
# and names them in ZEL_SOC_BUILD_DIR; a plain pytest of tests/ leaves it out.
collect_ignore_glob = [] if os.environ.get("ZEL_SOC_BUILD_DIR") else ["test_*.py"]

@pytest.fixture(scope="session")
def soc_state(tmp_path_factory):
    return tmp_path_factory.mktemp("soc-state")


@pytest.fixture(scope="session")
def images(tmp_path_factory):
    folder = tmp_path_factory.mktemp("soc-images")
    garbage = bytes(random.Random(12).randrange(256) for _ in range(256))
    found = {}
    for name, data in (("sound", v3_image()), ("garbage", garbage)):
        (folder / f"{name}.bin").write_bytes(data)
        # What the board's 4096-byte EEPROM holds for the image: erased past it.
        (folder / f"{name}-board.bin").write_bytes(data + b"\xff" * (4096 - len(data)))
        found[name] = folder / f"{name}.bin"
    return found


@pytest.fixture(scope="session")
def first_boot(soc_state, images):
    sound = images["sound"].with_name("sound-board.bin").read_bytes()
    return soc.boot(soc_state, steps.first_boot(sound), eeprom=images["garbage"])


@pytest.fixture(scope="session")
def second_boot(soc_state, first_boot):
    """The same state again, on a board without EEPROM."""
    return soc.boot(soc_state, steps.SECOND_BOOT, eeprom="none")


@pytest.fixture
def case(first_boot, second_boot):
    """A case of either boot by name, failing clearly on a boot that did not
    finish."""
    boots = (first_boot, second_boot)

    def get(name):
        found = [cases[name] for _, cases in boots if name in cases]
        assert found, b"".join(result.stderr[-3000:] for result, _ in boots).decode("latin-1")
        return found[0]
    return get
