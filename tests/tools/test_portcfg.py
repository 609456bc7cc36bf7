"""portcfg against the switch model: outputs, statuses and the register access
sequences as the model logged them."""
import pytest

from toolsupport import read_switch_log, run, switch_options, tool

PORTCFG = tool("portcfg")
USAGE = "Invalid options:\nportcfg [switch.dat] [vlan.dat]\n"
DETECTED = "checking switch ID\nMARVELL MV88E6290 switch detected\n"
PORTS = range(9)
PORT_CONTROL = 0x1F7D   # register 4 of every port before a run
PHYS_CONTROL = 0xFFFF   # register 1 of ports 1..8; port 0 holds 0x0003


@pytest.fixture
def switch(tmp_path):
    """Runs portcfg with the switch model; returns (result, log entries)."""
    def run_portcfg(*args, options=(), registers=None, timeout=60):
        log = tmp_path / "switch.log"
        regs = {f"d{p:x}_r4": PORT_CONTROL for p in PORTS}
        regs.update({f"d{p:x}_r1": PHYS_CONTROL for p in PORTS})
        regs["d0_r1"] = 0x0003
        regs.update(registers or {})
        result = run([PORTCFG, *args], features=[switch_options(log, *options, **regs)],
                     timeout=timeout)
        return result, [entry for _, entry in read_switch_log(log)], read_switch_log(log)
    return run_portcfg


def accesses(entries, device=None, register=None):
    return [e for e in entries if e[0] in ("read", "write")
            and (device is None or e[1] == device) and (register is None or e[2] == register)]


def port_change(before, change, register=4):
    """Read and write back of one register on ports 0..8, ascending."""
    seq = []
    for port in PORTS:
        value = before[port] if isinstance(before, list) else before
        seq += [("read", port, register, value), ("write", port, register, change(port, value))]
    return seq


DISABLE = port_change(PORT_CONTROL, lambda _, v: v & 0x00FC)
ENABLE_AFTER_DISABLE = port_change(PORT_CONTROL & 0xFC, lambda _, v: v | 0x0003)


@pytest.mark.parametrize("option, out, sequence", [
    ("-D", "Switch Ports Disabled OK!\n", DISABLE),
    ("-Dx", "Switch Ports Disabled OK!\n", DISABLE),
    ("-E", "Switch Ports enabled OK!\n", port_change(PORT_CONTROL, lambda _, v: v | 0x0003)),
    ("-Z", "Switch Ports link released!\n",
     port_change([0x0003] + [PHYS_CONTROL] * 8,
                 lambda p, v: v | 0x0030 if p == 0 else v & 0xFFCF, register=1)),
])
def test_single_port_actions(switch, option, out, sequence):
    result, log, _ = switch(option)
    assert (result.status, result.out) == (0, out)
    assert log == sequence


@pytest.mark.parametrize("args", [[], ["-X"], ["-S"], ["-V"], ["switch.dat"], ["-r"]])
def test_bad_command_lines_print_usage(switch, args):
    result, log, _ = switch(*args)
    assert (result.status, result.out) == (255, USAGE)
    assert log == []


def test_reset_sequence_order_and_waits(switch):
    result, log, timed = switch("-R")
    assert (result.status, result.out) == (0, "Bringing switch out of reset\nSwitch Reset OK!\n")
    gpio = [e for e in log if e[0] == "gpio"]
    assert gpio == [("gpio", "export", "190"), ("gpio", "gpio190/direction", "out"),
                    ("gpio", "gpio190/value", "0"), ("gpio", "export", "188"),
                    ("gpio", "gpio188/direction", "in"), ("gpio", "gpio190/value", "1")]
    assert log[len(gpio):] == DISABLE
    times = [t for t, _ in timed]
    assert times[2] - times[1] >= 0.1, "reset asserted 100 ms after the line became an output"
    assert times[5] - times[4] >= 0.1, "reset released 100 ms after 188 became an input"
    assert times[6] - times[5] >= 0.1, "ports touched 100 ms after the release"


@pytest.mark.parametrize("identity", [0x2900, 0x2901, 0x290F])
def test_identity_accepted(switch, tmp_path, identity):
    empty = tmp_path / "empty.dat"
    empty.write_text("")
    result, log, _ = switch("-S", str(empty), options=[f"id={identity:x}"])
    assert (result.status, result.out) == (
        0, DETECTED + f"Loading switch config from {empty}\nSwitch only OK!\n")
    assert log[0] == ("read", 0, 3, identity)
    assert log[1:] == DISABLE + ENABLE_AFTER_DISABLE


def test_identity_refused_touches_no_port(switch, tmp_path):
    result, log, timed = switch("-S", str(tmp_path / "unused"), options=["id=2910"])
    assert (result.status, result.out) == (
        1, "checking switch ID\n..Detected Switch ID: 0x00002910\nSwitch Reset failed!\n")
    assert log == [("read", 0, 3, 0x2910)] * 3
    assert timed[2][0] - timed[0][0] >= 2.0, "one second between attempts"


def test_switch_file_lines(switch, tmp_path):
    config = tmp_path / "switch.dat"
    long_comment = "#" + "c" * 100 + "\n"
    config.write_text(
        "# ports\n"
        "3 4 007f\n"
        "5 1\n"
        "  # note\n"
        "\n"
        "2 6 -1\n"
        "0\t1 0x3f extra tokens\n"
        # Numbers that do not parse whole would name the wrong register.
        "0x3 4 7f\n"
        "abc def 12\n"
        "3.9 4 1e\n"
        "3 4 \n"
        "3 4 7fffffffff\n"
        + "4 4 1" + " " * 80 + "7 7 2\n"      # 79 characters per piece
        + long_comment)
    result, log, _ = switch("-S", str(config))
    assert result.status == 1
    assert result.out == (
        DETECTED + f"Loading switch config from {config}\n"
        "Ignoring comment: # ports\n\n"
        "Configuring port 3 register 4 to 0x007f\n"
        "Configuring port 0 register 1 to 0x003f\n"
        "Ignoring malformed line: 0x3 4 7f\n"
        "Ignoring malformed line: abc def 12\n"
        "Ignoring malformed line: 3.9 4 1e\n"
        "Ignoring malformed line: 3 4 \n"
        "Ignoring malformed line: 3 4 7fffffffff\n"
        "Configuring port 4 register 4 to 0x0001\n"
        "Configuring port 7 register 7 to 0x0002\n"
        f"Ignoring comment: {long_comment[:79]}\n"
        "Switch only OK!\n")
    loaded = log[1 + len(DISABLE):-len(ENABLE_AFTER_DISABLE)]
    assert loaded == [("write", 3, 4, 0x7F), ("write", 0, 1, 0x3F), ("write", 4, 4, 1),
                      ("write", 7, 7, 2)]
    # Enabling reads what the file wrote.
    assert ("write", 4, 4, 0x0003) in log[-len(ENABLE_AFTER_DISABLE):]


def vtu_writes(six, seven, eight, two):
    return [("write", 0x1B, 6, six), ("write", 0x1B, 7, seven), ("write", 0x1B, 8, eight),
            ("write", 0x1B, 2, two), ("write", 0x1B, 5, 0xB000)]


def test_vlan_file_lines_wait_for_the_busy_bit(switch, tmp_path):
    config = tmp_path / "vlan.dat"
    config.write_text("# vlan table\n"
                      "0001 0002 0003 0004\n"
                      "0010 0020 0030\n"
                      "0100 0200 0300 0400 0500\n"
                      "1 2 3 4 \n"
                      "1 2 3 4x\n"
                      "ffff 0 a B\n")
    result, log, _ = switch("-V", str(config))
    assert result.status == 1
    assert result.out == (
        DETECTED + f"Loading vlan config from {config}\n"
        "Ignoring comment: # vlan table\n"
        "Configuring 0x1B to 0x0001 0x0002 0x0003 0x0004\n"
        "Ignoring malformed line: 1 2 3 4x\n"
        "Configuring 0x1B to 0xffff 0x0000 0x000a 0x000b\n"
        "Switch VLAN only OK!\n")
    assert accesses(log, 0x1B) == (
        [("read", 0x1B, 5, 0)] + vtu_writes(1, 2, 3, 4)
        # The model keeps the bit set for three reads after a load.
        + [("read", 0x1B, 5, 0xB000)] * 3 + [("read", 0x1B, 5, 0x3000)]
        + vtu_writes(0xFFFF, 0, 0xA, 0xB))


def test_both_files_load_in_order(switch, tmp_path):
    config = tmp_path / "switch.dat"
    config.write_text("1 2 3\n")
    result, log, _ = switch(str(config), str(tmp_path / "absent.dat"))
    assert result.status == 1
    assert result.out == (
        DETECTED + f"Loading switch config from {config}\n"
        "Configuring port 1 register 2 to 0x0003\n"
        f"Loading vlan config from {tmp_path / 'absent.dat'}\n"
        "Failed to open switch config: No such file or directory\n")
    assert log == [("read", 0, 3, 0x2901)] + DISABLE + [("write", 1, 2, 3)] + ENABLE_AFTER_DISABLE


# A failed switch file (1) with 2 or 1 failed VLAN lines: 1 | 2 and 1 | 1
# are neither the last result nor the sum.
@pytest.mark.parametrize("failed_lines, status", [(2, 3), (1, 1)])
def test_both_files_results_are_ored(switch, tmp_path, failed_lines, status):
    vlan = tmp_path / "vlan.dat"
    vlan.write_text("1 2 3 4x\n" * failed_lines + "1 2 3 4\n")
    result, log, _ = switch(str(tmp_path / "absent.dat"), str(vlan))
    assert result.status == status
    assert result.out == (
        DETECTED + f"Loading switch config from {tmp_path / 'absent.dat'}\n"
        "Failed to open switch config: No such file or directory\n"
        f"Loading vlan config from {vlan}\n" + "Ignoring malformed line: 1 2 3 4x\n" * failed_lines
        + "Configuring 0x1B to 0x0001 0x0002 0x0003 0x0004\n")
    assert accesses(log, 0x1B) == [("read", 0x1B, 5, 0)] + vtu_writes(1, 2, 3, 4)


@pytest.mark.parametrize("args", [["-V", "vlan.dat"], ["switch.dat", "vlan.dat"]])
def test_failed_line_counts_never_wrap_to_success_or_usage(switch, tmp_path, args):
    (tmp_path / "switch.dat").write_text("x 1 2\n")
    (tmp_path / "vlan.dat").write_text("1 2 3 q\n" * 256)
    result, _, _ = switch(*[str(tmp_path / a) if a.endswith(".dat") else a for a in args])
    assert result.status == 253
    assert result.out.count("Ignoring malformed line: 1 2 3 q\n") == 256


def test_vlan_timeout_after_about_a_second_and_later_lines_still_load(switch, tmp_path):
    config = tmp_path / "vlan.dat"
    config.write_text("1 2 3 4\n5 6 7 8\n")
    # Busy from the start, for 15000 reads: the first line gives up after
    # 10000 waits, the second finds the bit clear 5000 reads later.
    result, log, timed = switch("-V", str(config), options=["busyreads=15000"],
                                registers={"d1b_r5": 0x8000}, timeout=120)
    assert result.status == 1
    assert result.out == (
        DETECTED + f"Loading vlan config from {config}\n"
        "Configuring 0x1B to 0x0001 0x0002 0x0003 0x0004\n"
        "Timed out configuring VLAN\n"
        "Configuring 0x1B to 0x0005 0x0006 0x0007 0x0008\n"
        "Switch VLAN only OK!\n")
    vtu = accesses(log, 0x1B)
    assert vtu == ([("read", 0x1B, 5, 0x8000)] * 15000 + [("read", 0x1B, 5, 0)]
                   + vtu_writes(5, 6, 7, 8))
    first_line = [t for t, e in timed if e[:3] == ("read", 0x1B, 5)][:10001]
    assert first_line[-1] - first_line[0] >= 1.0, "10000 waits of 100 us"


def test_busy_bit_found_clear_after_the_last_wait_is_no_timeout(switch, tmp_path):
    config = tmp_path / "vlan.dat"
    config.write_text("1 2 3 4\n")
    result, log, _ = switch("-V", str(config), options=["busyreads=10000"],
                            registers={"d1b_r5": 0x8000}, timeout=120)
    assert result.status == 0
    assert "Timed out" not in result.out
    assert accesses(log, 0x1B) == ([("read", 0x1B, 5, 0x8000)] * 10000
                                   + [("read", 0x1B, 5, 0)] + vtu_writes(1, 2, 3, 4))


def test_missing_register_files_and_unreadable_configs(switch, tmp_path):
    config = tmp_path / "switch.dat"
    config.write_text("3 4 7f\n")
    result, log, _ = switch("-S", str(config), options=["absent=3"])
    assert result.status == 0
    assert not accesses(log, 3)

    directory, log, _ = switch("-S", str(tmp_path))
    assert directory.status == 1
    assert directory.out == (DETECTED + f"Loading switch config from {tmp_path}\n"
                             "Failed to read switch config: Is a directory\nSwitch only OK!\n")
    vlan_directory, _, _ = switch("-V", str(tmp_path))
    assert vlan_directory.status == 1
    assert "Failed to read vlan config: Is a directory\n" in vlan_directory.out


@pytest.mark.parametrize("option", ["-S", "-V"])
def test_garbage_config_files_do_not_crash(switch, tmp_path, option):
    garbage = tmp_path / "garbage.dat"
    garbage.write_bytes(bytes(range(256)) * 3 + b"1 2 3 4 5 6 7 8 9 " * 20 + b"\xff" * 300)
    result, _, _ = switch(option, str(garbage), options=["busyreads=0"])
    assert result.err == ""
    assert result.status in (0, 1)
    assert result.out.endswith("only OK!\n")
