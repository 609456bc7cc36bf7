"""Output that cannot be written (a full disk) is a failure of every tool,
with a message on standard error and a status that no other outcome of the
tool gives: 74 (EX_IOERR) where that is free, 1 for wdog-status (whose only
failure status it is), 254 for portcfg (74 would read as a count of lines
that timed out)."""
import subprocess

import pytest

from toolsupport import SANDBOX, switch_options, tool, v3_image


@pytest.mark.parametrize("name, args, feature, status", [
    ("zel-eeprom", ["--file", "{image}"], None, 74),
    ("zel-eeprom", ["--help"], None, 255),          # its own status stands
    ("eeprom-crc", ["-f", "{image}"], None, 74),
    ("portcfg", ["-D"], "switch", 254),
    ("wdog-status", [], "devmem", 1),
])
def test_output_to_a_full_disk_fails(tmp_path, name, args, feature, status):
    image = tmp_path / "image.bin"
    image.write_bytes(v3_image())
    memory = tmp_path / "mem"
    memory.write_bytes(bytes(0x020BC000 + 8))
    features = {None: [], "switch": [switch_options(tmp_path / "switch.log")],
                "devmem": [f"--devmem={memory}"]}[feature]
    command = [tool(name), *[a.format(image=image) for a in args]]
    # The machine's own /dev/full: inside the sandbox /dev may be its own.
    with open("/dev/full", "w") as full:
        done = subprocess.run([SANDBOX, *features, "--", *command], stdout=full,
                              stderr=subprocess.PIPE, text=True, timeout=60)
    assert done.returncode == status
    assert done.stderr.endswith(f"{name}: write error: No space left on device\n")
