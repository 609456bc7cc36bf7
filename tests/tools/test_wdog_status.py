"""wdog-status against a sparse file standing in for physical memory."""
import os

import pytest

from toolsupport import run, run_unprivileged, tool

WDOG_STATUS = tool("wdog-status")
RESET_STATUS = 0x020BC000 + 4


def memory(tmp_path, value, size=0x020BD000):
    path = tmp_path / "mem"
    with open(path, "wb") as mem:
        mem.truncate(size)
        if RESET_STATUS < size:
            mem.seek(RESET_STATUS)
            mem.write(bytes([value, 0xEE, 0xEE, 0xEE]))
    return str(path)


@pytest.mark.parametrize("value, text", [(0x01, "01"), (0xAB, "AB"), (0x00, "00")])
def test_prints_the_low_byte_of_the_register(tmp_path, value, text):
    result = run([WDOG_STATUS, "ignored", "args"], features=[f"--devmem={memory(tmp_path, value)}"])
    assert (result.status, result.err) == (0, "")
    assert result.out == f'The value of "Watchdog Reset Status" register is {text}\n'


def test_cannot_open_dev_mem_exits_1_silently(tmp_path):
    path = memory(tmp_path, 0x01)
    os.chmod(path, 0o600)
    result = run_unprivileged([WDOG_STATUS], features=[f"--devmem={path}"])
    assert (result.status, result.out, result.err) == (1, "", "")


@pytest.mark.parametrize("source", ["/dev/null", "short"])
def test_mapping_failure(tmp_path, source):
    # /dev/null cannot be mapped; a file that ends before the register page
    # would fault on access.
    path = source if source.startswith("/") else memory(tmp_path, 0x01, size=0x1000)
    result = run([WDOG_STATUS], features=[f"--devmem={path}"])
    assert (result.status, result.out, result.err) == (1, "Error mapping address\n", "")


def test_dev_mem_stand_in_stays_inside_the_sandbox(tmp_path):
    existed = os.path.exists("/dev/mem")
    listing = run(["sh", "-c", "ls /dev/null /dev/pts >/dev/null && readlink /dev/fd"],
                  features=[f"--devmem={memory(tmp_path, 0x01)}"])
    assert (listing.status, listing.out) == (0, "/proc/self/fd\n")
    assert os.path.exists("/dev/mem") == existed
