"""What each boot of the SoC tier runs on the board, in order. The tools run
on the real drivers (at24, gpio-mxc, /dev/mem); their answers are compared
with the x86-64 build's (test_soc_board.py)."""
import base64

from zelsupport.board import word
from zelsupport.faults import store_request
from zelsupport.soc import call, check

ALICE, BOB = 2001, 2002
KEPT = (0x42, b"kept from one run to the next")
EEPROM = "/sys/bus/i2c/devices/2-0050/eeprom"

# The tools' command lines, run alike on the board and on this machine.
TOOL_CASES = {
    "eeprom": ["zel-eeprom"],
    "eeprom-list": ["zel-eeprom", "--list"],
    "eeprom-serial": ["zel-eeprom", "serial"],
    "eeprom-bus-path": ["zel-eeprom", "--file", EEPROM],
    "crc-verify": ["eeprom-crc"],
    "crc-compute": ["eeprom-crc", "-c"],
    "crc-second-area": ["eeprom-crc", "-v", "-s", "192", "-l", "60"],
}


def tools(prefix):
    return [check(prefix + name, words) for name, words in TOOL_CASES.items()]


def write_eeprom(data):
    """Puts data into the board's EEPROM through the at24 driver."""
    text = base64.b64encode(data).decode()
    return check("eeprom-write", ["sh", "-c", f"echo {text} | base64 -d > {EEPROM}"])


ACCOUNTS = [f"echo '{name}:x:{uid}:{uid}::/nonexistent:/usr/sbin/nologin' >> /etc/passwd; "
            f"echo '{name}:x:{uid}:' >> /etc/group" for name, uid in (("alice", ALICE), ("bob", BOB))]


def first_boot(sound):
    """Booted with a garbage EEPROM, which the sound image then replaces."""
    return ACCOUNTS + tools("garbage-") + [write_eeprom(sound)] + tools("sound-") + [
        check("eeprom-driver", ["readlink", "-f", "/sys/bus/i2c/devices/2-0050/driver"]),
        check("wdog", ["wdog-status"]),
        check("wdog-unprivileged", ["as", str(ALICE), "wdog-status"]),
        check("portcfg-reset", ["portcfg", "-R"]),
        check("gpio", ["cat", "/sys/class/gpio/gpio190/direction", "/sys/class/gpio/gpio190/value",
                       "/sys/class/gpio/gpio188/direction"]),
        check("gpio-chip", ["sh", "-c", "cat /sys/class/gpio/gpio190/device/../of_node/reg | od -An -tx1"]),
        check("switch-log", ["cat", "/run/zel-switch.log"]),
        # How systemd, udev and the bus run the service from our packages.
        check("mounts", ["sh", "-c", "for m in /mnt/DATA /mnt/NOR6; do "
                         "findmnt -n -o TARGET,SOURCE,FSTYPE $m; done; "
                         "awk '$1 == \"mtd6:\" {print $1, $2, $4}' /proc/mtd"]),
        check("packages", ["dpkg-query", "-W", "-f", "${Package} ${Status}\\n", "vyrna-security-manager",
                           "vyrna-security-tester", "zel-board-tools", "zel-board-modules"]),
        check("owners", ["dpkg", "-S", "/usr/lib/udev/rules.d/90-vcrypto.rules",
                         "/usr/lib/systemd/system/vyrna-security-manager.service",
                         "/usr/lib/modules-load.d/zel-board.conf"]),
        check("modules", ["sh", "-c", "cut -d' ' -f1 /proc/modules | grep -xE 'vcrypto|tarn|caam_sim' | sort"]),
        check("caam-node", ["readlink", "-f", "/sys/bus/platform/devices/2100000.crypto/driver"]),
        check("vcrypto-node", ["stat", "-c", "%F %a %U %G", "/dev/vcrypto"]),
        "chmod 0666 /dev/vcrypto; udevadm trigger --settle --action=change /sys/class/misc/vcrypto",
        check("vcrypto-after-change", ["stat", "-c", "%a", "/dev/vcrypto"]),
        check("unit", ["sh", "-c", "for p in Type FragmentPath ActiveState; do "
                       "systemctl show -P $p vyrna-security-manager.service; done"]),
        check("exposure", ["sh", "-c", "systemd-analyze security --no-pager "
                           "vyrna-security-manager.service | tail -n 1"]),
        check("own-name-refused", ["as", str(ALICE), "busctl", "--system", "call", "org.freedesktop.DBus",
                                   "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName", "su",
                                   "com.zel.vyrna.SecurityManager", "4"]),
        # Two users' secrets, and a refusal.
        check("alice-store", call(*store_request(0x100, b"alice's secret", ALICE))),
        check("bob-store", call(*store_request(0x200, b"bob's secret", BOB))),
        check("alice-retrieve", call("RetrieveData", word(0x100), ALICE)),
        check("bob-retrieve", call("RetrieveData", word(0x200), BOB)),
        check("bob-retrieves-alices", call("RetrieveData", word(0x100), BOB)),
        check("alice-clear", call("ClearData", word(0x100), ALICE)),
        check("alice-retrieve-cleared", call("RetrieveData", word(0x100), ALICE)),
        check("bob-clear", call("ClearData", word(0x200), BOB)),
        check("kept-store", call(*store_request(*KEPT))),
        # An internal error (an item file that cannot be written) and a kill:
        # systemd starts the service again each time.
        "mkdir -p /mnt/DATA/vyrna/.secureStorage/00000005.data; export old=$(main_pid)",
        check("internal-error", call(*store_request(5, b"x"))),
        check("restarted-after-8", ["wait_restarted"]),
        check("journal", ["journalctl", "--no-pager", "-o", "json", "SYSLOG_IDENTIFIER=q512_status"]),
        "rmdir /mnt/DATA/vyrna/.secureStorage/00000005.data; export old=$(main_pid); kill -9 \"$old\"",
        check("restarted-after-kill", ["wait_restarted"]),
        check("restarts", ["systemctl", "show", "-P", "NRestarts", "vyrna-security-manager.service"]),
        # A full data partition (to its last block: what a write leaves over
        # after a sync, the next one takes): the store is refused, the same
        # service goes on serving what was stored, and storing works again
        # once there is room. (Filling the NOR flash would take the emulated
        # SPI bus far too long.)
        "n=0; while ((n < 20)) && { dd if=/dev/zero bs=64k of=/mnt/DATA/filler.$n 2>/dev/null; "
        "sync; [[ -s /mnt/DATA/filler.$n ]]; }; do n=$((n + 1)); done; export old=$(main_pid)",
        check("data-full-store", call(*store_request(0x300, b"no room", BOB))),
        check("data-full-same-service", ["bash", "-c", '[ "$(main_pid)" = "$old" ] && echo serving']),
        check("data-full-retrieve", call("RetrieveData", word(KEPT[0]))),
        "rm /mnt/DATA/filler.*; sync",
        check("data-freed-store", call(*store_request(0x300, b"backed up", BOB))),
        check("service-log", ["journalctl", "--no-pager", "-o", "cat", "-u", "vyrna-security-manager.service"]),
    ]

# Booted without EEPROM.
SECOND_BOOT = ACCOUNTS + tools("none-") + [
    check("kept-retrieve", call("RetrieveData", word(KEPT[0]))),
    check("bob-retrieve-kept", call("RetrieveData", word(0x300), BOB)),
]
