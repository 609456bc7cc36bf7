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


@pytest.mark.parametrize("image, boot", [("sound", "first_boot"), ("garbage", "second_boot")])
@pytest.mark.parametrize("name", sorted(TOOL_CASES))
def test_eeprom_tools_answer_as_on_x86_64(request, case, images, image, boot, name):
    board = case(request.getfixturevalue(boot), f"{image}-{name}")
    content = images[image].with_name(f"{image}-board.bin")
    here = on_this_machine(TOOL_CASES[name], [f"--eeprom={content}"])
    assert (board.status, board.out, board.err) == (here.status, here.out, here.err)


def test_eeprom_is_the_at24_driver(case, first_boot):
    assert case(first_boot, "eeprom-driver").out == "/sys/bus/i2c/drivers/at24\n"


def test_wdog_status_reads_the_watchdog_registers(case, first_boot, tmp_path):
    board = case(first_boot, "wdog")
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
    unprivileged = case(first_boot, "wdog-unprivileged")
    assert (unprivileged.status, unprivileged.out, unprivileged.err) == (1, "", "")


def test_portcfg_drives_the_real_gpio_lines(case, first_boot, tmp_path):
    board = case(first_boot, "portcfg-reset")
    here = on_this_machine(["portcfg", "-R"], [switch_options(tmp_path / "log")])
    assert (board.status, board.out, board.err) == (here.status, here.out, here.err)
    assert case(first_boot, "gpio").out == "out\n1\nin\n"
    # gpio 190 is a line of the SoC's sixth GPIO controller, at 0x020B0000.
    assert case(first_boot, "gpio-chip").out.split()[:4] == ["02", "0b", "00", "00"]
    log_file = tmp_path / "board-switch.log"
    log_file.write_text(case(first_boot, "switch-log").out)
    ports = [entry for _, entry in read_switch_log(log_file) if entry[0] == "write"]
    assert [(device, register) for _, device, register, _ in ports] == [(p, 4) for p in range(9)]


def test_service_runs_from_our_packages(case, first_boot):
    assert case(first_boot, "mounts").out.split() == [
        "/mnt/DATA", "/dev/mmcblk1p4", "ext4", "/mnt/NOR6", "/dev/mtdblock6", "jffs2"]
    assert [line.split(" ", 1)[1] for line in case(first_boot, "packages").out.splitlines()] == [
        "install ok installed"] * 4
    assert [line.split(":")[0] for line in case(first_boot, "owners").out.splitlines()] == [
        "vyrna-security-manager", "vyrna-security-manager", "zel-board-modules"]
    assert case(first_boot, "modules").out.split() == ["caam_sim", "tarn", "vcrypto"]
    assert case(first_boot, "caam-node").out.strip().endswith("/caam-sim")
    assert case(first_boot, "unit").out.splitlines() == [
        "Type=dbus", "FragmentPath=/lib/systemd/system/vyrna-security-manager.service",
        "ActiveState=active"]
    exposure = case(first_boot, "exposure").out
    assert re.search(r"Overall exposure level for vyrna-security-manager.service: \d\.\d", exposure)


def test_vcrypto_is_root_only_by_our_udev_rule(case, first_boot):
    assert case(first_boot, "vcrypto-node").out == "character special file 600 root root\n"
    assert case(first_boot, "vcrypto-after-change").out == "600\n"


def test_policy_refuses_the_service_name_to_other_users(case, first_boot):
    refused = case(first_boot, "own-name-refused")
    assert refused.status != 0 and "Access denied" in refused.err, refused


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
])
def test_two_users_store_retrieve_and_clear(case, first_boot, name, expected):
    assert answer(case(first_boot, name)) == expected


def test_systemd_restarts_the_service_after_status_8_and_a_kill(case, first_boot):
    assert answer(case(first_boot, "internal-error")) == bytes([8, 1, 2, 0, 0, 0, 0, 0])
    assert case(first_boot, "restarted-after-8").out == "restarted\n"
    assert case(first_boot, "restarted-after-kill").out == "restarted\n"
    assert case(first_boot, "restarts").out.strip() == "2"


def test_journal_entry_read_back_with_journalctl(case, first_boot):
    entries = [json.loads(line) for line in case(first_boot, "journal").out.splitlines()]
    assert [(e["MESSAGE"], e["PRIORITY"], e["CODE_FUNC"]) for e in entries] == [
        ("<in-error> : <Error writing on partition /dev/mmcblk1p4>", "3", "printJournal")]
    assert entries[0]["_SYSTEMD_UNIT"] == "vyrna-security-manager.service"


@pytest.mark.parametrize("partition", ["data"])
def test_full_partition_fails_the_store_and_loses_nothing(case, first_boot, partition):
    assert answer(case(first_boot, f"{partition}-full-store"))[0] == 8
    assert case(first_boot, f"{partition}-full-restarted").out == "restarted\n"
    assert answer(case(first_boot, f"{partition}-full-retrieve")) == bytes(4) + KEPT[1]
    assert answer(case(first_boot, f"{partition}-freed-store"))[0] == 0


def test_secret_survives_into_the_next_run(case, second_boot):
    assert answer(case(second_boot, "kept-retrieve")) == bytes(4) + KEPT[1]
    assert answer(case(second_boot, "bob-retrieve-kept")) == bytes(4) + b"backed up"


@pytest.mark.parametrize("content, message", [
    (None, "no such file"),
    (b"\x03" * 5000, "5000 bytes, more than the board's 4096-byte EEPROM"),
])
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
