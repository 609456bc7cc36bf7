"""The switch stand-in itself: the file contract portcfg relies on."""
import os

from toolsupport import read_switch_log, run, switch_options

REG = "/sys/class/mdio_bus/2188000.ethernet/device/2188000.ethernet:{:02x}/{}"
GPIO = "/sys/class/gpio"


def shell(tmp_path, script, *options):
    log = tmp_path / "model.log"
    result = run(["sh", "-c", script], features=[switch_options(log, *options)])
    return result, [entry for _, entry in read_switch_log(log)]


def test_registers_read_hex_and_take_decimal(tmp_path):
    reg = REG.format(2, 4)
    result, log = shell(tmp_path, f"""
        cat {REG.format(0, 3)}
        printf 300 > {reg}; cat {reg}
        printf abc > {reg} 2>/dev/null || echo refused
        printf 65536 > {reg} 2>/dev/null || echo refused
        cat {REG.format(9, 0)} 2>/dev/null || echo absent
        ls {REG.format(0x1b, 0).rsplit('/', 1)[0]} | wc -l
    """, "id=2910")
    assert result.out == "0x2910\n0x012c\nrefused\nrefused\nabsent\n32\n"
    assert log == [("read", 0, 3, 0x2910), ("write", 2, 4, 300), ("read", 2, 4, 300),
                   ("refused", "write 02 4 'abc'"), ("refused", "write 02 4 '65536'")]


def test_vlan_busy_bit_clears_after_reads_or_sticks(tmp_path):
    reg = REG.format(0x1b, 5)
    script = f"printf 45056 > {reg}; for i in 1 2 3; do cat {reg}; done"
    clears, _ = shell(tmp_path, script, "busyreads=2")
    assert clears.out == "0xb000\n0xb000\n0x3000\n"
    sticks, _ = shell(tmp_path, script, "stuck")
    assert sticks.out == "0xb000\n" * 3


def test_gpio_lines_appear_on_export_and_outputs_take_values(tmp_path):
    existed = os.path.exists(GPIO)
    result, log = shell(tmp_path, f"""
        echo out > {GPIO}/gpio7/direction 2>/dev/null || echo not exported
        echo 7 > {GPIO}/export
        echo 7 > {GPIO}/export 2>/dev/null || echo busy
        echo 1 > {GPIO}/gpio7/value 2>/dev/null || echo input
        echo out > {GPIO}/gpio7/direction; echo 1 > {GPIO}/gpio7/value
        cat {GPIO}/gpio7/direction {GPIO}/gpio7/value
    """)
    assert result.out == "not exported\nbusy\ninput\nout\n1\n"
    assert log == [("gpio", "export", "7"), ("refused", "gpio export 7"),
                   ("refused", "gpio gpio7/value '1'"), ("gpio", "gpio7/direction", "out"),
                   ("gpio", "gpio7/value", "1")]
    assert os.path.exists(GPIO) == existed, "nothing changes outside the sandbox"
