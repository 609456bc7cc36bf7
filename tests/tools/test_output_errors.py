"""Output that cannot be written (a full disk) is a failure of every tool:
status 74, with a message on standard error."""
import subprocess

import pytest

from toolsupport import SANDBOX, switch_options, tool, v3_image


@pytest.mark.parametrize("name, args, feature", [
    ("zel-eeprom", ["--file", "{image}"], None),
    ("zel-eeprom", ["--help"], None),               # its own status stands
    ("eeprom-crc", ["-f", "{image}"], None),
    ("portcfg", ["-D"], "switch"),
    ("wdog-status", [], "devmem"),
])
def test_output_to_a_full_disk_fails(tmp_path, name, args, feature):
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
    assert done.returncode == (255 if "--help" in args else 74)
    assert done.stderr.endswith(f"{name}: write error: No space left on device\n")
