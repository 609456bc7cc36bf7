"""The whole board on the emulated i.MX6Q, booted by systemd from our
packages: the tools on the real drivers answer exactly as the x86-64 build
does in the sandbox for the same EEPROM content, and the service runs from
our unit under our policy with its journal in journald. Two boots share one
state: what the first stores, the second retrieves."""
import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from zelsupport.board import parse_busctl
from zelsupport.soc import BOARD

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))
from toolsupport import read_switch_log, run, switch_options, tool  # noqa: E402

from steps import KEPT, TOOL_CASES  # noqa: E402


def answer(case):
    assert case.status == 0, case.err
    return parse_busctl(case.out)


def on_this_machine(words, features):
    return run([tool(words[0]), *words[1:]], features=features)


@pytest.mark.parametrize("image", ["garbage", "sound", "none"])
@pytest.mark.parametrize("name", sorted(TOOL_CASES))
def test_eeprom_tools_answer_as_on_x86_64(case, images, image, name):
    board = case(f"{image}-{name}")
    eeprom = [f"--eeprom={images[image].with_name(f'{image}-board.bin')}"] if image in images else []
    here = on_this_machine(TOOL_CASES[name], eeprom)
    assert (board.status, board.out, board.err) == (here.status, here.out, here.err)


# What the board says of itself, word for word: its drivers, how udev made
# /dev/vcrypto (also after a change event), what systemd runs from which
# package and how often it started the service again.
@pytest.mark.parametrize("name, expected", [
    ("eeprom-write", ""),
    ("eeprom-driver", "/sys/bus/i2c/drivers/at24"),
    ("gpio", "out 1 in"),
    # The backup partition is the NOR's last, from 384 KiB to its end.
    ("mounts", '/mnt/DATA /dev/mmcblk1p4 ext4 /mnt/NOR6 /dev/mtdblock6 jffs2 mtd6: 001a0000 "NOR6"'),
    ("packages", " ".join(f"{p} install ok installed" for p in (
        "vyrna-security-manager", "vyrna-security-tester", "zel-board-modules", "zel-board-tools"))),
    ("owners", "vyrna-security-manager: /usr/lib/udev/rules.d/90-vcrypto.rules "
               "vyrna-security-manager: /usr/lib/systemd/system/vyrna-security-manager.service "
               "zel-board-modules: /usr/lib/modules-load.d/zel-board.conf"),
    ("modules", "caam_sim tarn vcrypto"),
    ("caam-node", "/sys/bus/platform/drivers/caam-sim"),
    ("vcrypto-node", "character special file 600 root root"),
    ("vcrypto-after-change", "600"),
    ("unit", "dbus /lib/systemd/system/vyrna-security-manager.service active"),
    ("restarted-after-8", "restarted"),
    ("restarted-after-kill", "restarted"),
    ("restarts", "2"),
    ("data-full-same-service", "serving"),
])
def test_board_reports(case, name, expected):
    board = case(name)
    assert (board.status, board.out.split()) == (0, expected.split()), board


def test_wdog_status_reads_the_watchdog_registers(case, tmp_path):
    board = case("wdog")
    match = re.fullmatch(r'The value of "Watchdog Reset Status" register is ([0-9A-F]{2})\n',
                         board.out)
    assert board.status == 0 and match, board
    # The same byte in the sandbox's stand-in of /dev/mem prints the same.
    memory = tmp_path / "mem"
    with open(memory, "wb") as mem:
        mem.truncate(0x020BD000)
        mem.seek(0x020BC004)
        mem.write(bytes([int(match.group(1), 16)]))
    here = on_this_machine(["wdog-status"], [f"--devmem={memory}"])
    assert (board.status, board.out, board.err) == (here.status, here.out, here.err)


def test_portcfg_drives_the_real_gpio_lines(case, tmp_path):
    board = case("portcfg-reset")
    here = on_this_machine(["portcfg", "-R"], [switch_options(tmp_path / "log")])
    assert (board.status, board.out, board.err) == (here.status, here.out, here.err)
    # gpio 190 is a line of the SoC's sixth GPIO controller, at 0x020B0000.
    assert case("gpio-chip").out.split()[:4] == ["02", "0b", "00", "00"]
    log_file = tmp_path / "board-switch.log"
    log_file.write_text(case("switch-log").out)
    ports = [entry for _, entry in read_switch_log(log_file) if entry[0] == "write"]
    assert [(device, register) for _, device, register, _ in ports] == [(p, 4) for p in range(9)]


# What the board prints where only a part of it is fixed: the status and a
# pattern of standard output and error together.
@pytest.mark.parametrize("name, status, pattern", [
    ("exposure", 0, r"Overall exposure level for vyrna-security-manager.service: \d\.\d"),
    ("own-name-refused", 1, r"Access denied"),
    ("wdog-unprivileged", 1, r"\A\Z"),  # no word without the rights to /dev/mem
    ("service-log", 0, r"Secure storage store error 4"),  # the full partition
])
def test_board_says(case, name, status, pattern):
    board = case(name)
    assert board.status == status and re.search(pattern, board.out + board.err), board


# The service's answers over the bus; the last ones in the second boot,
# after a run of its own.
@pytest.mark.parametrize("name, expected", [
    ("alice-store", bytes([0, 0, 0, 0, 0, 1, 0, 0])),
    ("bob-store", bytes([0, 0, 0, 0, 0, 2, 0, 0])),
    ("alice-retrieve", bytes(4) + b"alice's secret"),
    ("bob-retrieve", bytes(4) + b"bob's secret"),
    ("bob-retrieves-alices", bytes([4, 0, 0, 0])),
    ("alice-clear", bytes(4)),
    ("alice-retrieve-cleared", bytes([3, 0, 0, 0])),
    ("bob-clear", bytes(4)),
    ("kept-store", bytes([0, 0, 0, 0, KEPT[0], 0, 0, 0])),
    ("internal-error", bytes([8, 1, 2, 0, 0, 0, 0, 0])),
    ("data-full-retrieve", bytes(4) + KEPT[1]),
    ("data-full-store", bytes([8, 1, 4, 0, 0, 0, 0, 0])),
    ("data-freed-store", bytes([0, 0, 0, 0, 0, 3, 0, 0])),
    ("kept-retrieve", bytes(4) + KEPT[1]),
    ("bob-retrieve-kept", bytes(4) + b"backed up"),
])
def test_service_answers(case, name, expected):
    assert answer(case(name)) == expected


def test_journal_entry_read_back_with_journalctl(case):
    entries = [json.loads(line) for line in case("journal").out.splitlines()]
    assert [(e["MESSAGE"], e["PRIORITY"], e["CODE_FUNC"]) for e in entries] == [
        ("<in-error> : <Error writing on partition /dev/mmcblk1p4>", "3", "printJournal")]
    assert entries[0]["_SYSTEMD_UNIT"] == "vyrna-security-manager.service"


@pytest.mark.parametrize("content, message", [
    (None, "no such file"),
    (b"\x03" * 5000, "5000 bytes, more than the board's 4096-byte EEPROM"),
], ids=["missing", "too-large"])
def test_eeprom_image_refused_before_booting(tmp_path, soc_state, second_boot, content, message):
    image = tmp_path / "eeprom.bin"
    if content is not None:
        image.write_bytes(content)
    card = soc_state / "card.img"
    before = card.read_bytes()
    result = subprocess.run([BOARD, "--soc", f"--eeprom={image}", "--", "true"],
                            capture_output=True, text=True, timeout=600,
                            env=dict(os.environ, ZEL_BOARD_STATE=str(soc_state)))
    assert result.returncode == 2 and message in result.stderr, result.stderr
    assert card.read_bytes() == before
