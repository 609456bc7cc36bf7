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

EEPROM_SIZE = 4096  # the board's 24c32


def board_eeprom(data):
    """The content the board's EEPROM has for an image file: erased past it."""
    return data + b"\xff" * (EEPROM_SIZE - len(data))


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
        (folder / f"{name}-board.bin").write_bytes(board_eeprom(data))
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
def case():
    """The cases of a boot, failing clearly on a boot that did not finish."""
    def get(boot, name):
        result, cases = boot
        assert name in cases, result.stderr.decode("latin-1")[-3000:]
        return cases[name]
    return get

