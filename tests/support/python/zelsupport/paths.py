"""Where the sources and the test build live."""
import os
from pathlib import Path

SOURCE_DIR = Path(__file__).resolve().parents[4]
BUILD_DIR = Path(os.environ.get("ZEL_BUILD_DIR", SOURCE_DIR / "build" / "test"))
# Programs that run on this machine when BUILD_DIR is a cross build.
HOST_BUILD_DIR = Path(os.environ.get("ZEL_HOST_BUILD_DIR", BUILD_DIR))
TEST_BUS_CONFIG = SOURCE_DIR / "tests" / "support" / "dbus" / "test-bus.conf"
BOARD_BUS_CONFIG = SOURCE_DIR / "board" / "bus" / "system-bus.conf"


def built(relative, build_dir=None):
    """Path of a program in the test build; fails clearly when it is missing."""
    path = (build_dir or BUILD_DIR) / relative
    if not path.exists():
        raise FileNotFoundError(f"{path} is not built; run scripts/test first")
    return path


def host_built(relative):
    """Path of a program in the build for this machine."""
    return built(relative, HOST_BUILD_DIR)
