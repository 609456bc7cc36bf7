"""Running the board tools in the board sandbox, and building EEPROM images.

CRC values here come from Python's binascii, never from the tools' code."""
import binascii
import struct
import subprocess
from dataclasses import dataclass

import pytest

from zelsupport import paths
from zelsupport.users import other_users, require_root

SANDBOX = str(paths.SOURCE_DIR / "board" / "sandbox")


def tool(name):
    return str(paths.built(f"user/{name}/{name}"))


@dataclass
class Result:
    status: int
    out: str  # latin-1, so that every byte the tool printed survives
    err: str


def run(args, features=(), stdin=None, timeout=60, **kwargs):
    """Runs args inside the sandbox with the given --feature=value words."""
    done = subprocess.run([SANDBOX, *features, "--", *args], input=stdin,
                          capture_output=True, timeout=timeout, **kwargs)
    return Result(done.returncode, done.stdout.decode("latin-1"),
                  done.stderr.decode("latin-1"))


def run_unprivileged(args, features=()):
    """Runs args as an unprivileged account inside the sandbox (which keeps
    root to set up its stand-ins); skips when that is not possible."""
    require_root()
    users = other_users()
    if not users:
        pytest.skip("no unprivileged account to run as")
    uid, gid, _ = users[0]
    return run(["setpriv", f"--reuid={uid}", f"--regid={gid}", "--clear-groups", *args],
               features=features)


def crc32(data):
    return binascii.crc32(bytes(data)) & 0xFFFFFFFF


def field(text, width):
    """A fixed-width text field: NUL-padded, or full without a NUL."""
    data = text.encode("latin-1") if isinstance(text, str) else bytes(text)
    assert len(data) <= width
    return data + bytes(width - len(data))


FIRST_MAC = bytes.fromhex("00112200012C")  # @PPN 300
MACS = [FIRST_MAC, bytes.fromhex("0011220001AD")] + [b"\xff" * 6] * 10


def mac_text(macs=MACS):
    return " ".join(":".join(f"{b:02X}" for b in mac) for mac in macs)


def v2_image(tag="TAGV2", board_bytes=None, mac_count=2, macs=MACS, good_crc=True,
             tail=None):
    """A 256-byte EEPROM holding a version-2 layout in its first 127 bytes."""
    body = bytearray(b"\x02" + field(tag, 8))
    body += board_bytes if board_bytes is not None else bytes(range(0x41, 0x41 + 41))
    body += bytes([mac_count]) + b"".join(macs)
    assert len(body) == 123
    crc = crc32(body) ^ (0 if good_crc else 1)
    body += struct.pack(">I", crc)
    body += tail if tail is not None else bytes((i * 5) & 0xFF for i in range(129))
    assert len(body) == 256
    return bytes(body)


def v3_first_area(tag="TAGV3", revision="R1.2", serial="SN0012345678", date=b"\x15\x07\x23",
                  name="ZEL Controller", swver="SW1.0", mfg="ZELMAKE", mac_count=2,
                  macs=MACS, good_crc=True):
    body = bytearray(b"\x03" + field(tag, 8) + b"\x00" + field(revision, 5) +
                     field(serial, 12) + bytes(date) + field(name, 20) + field(swver, 9) +
                     field(mfg, 9) + bytes([mac_count]) + b"".join(macs))
    assert len(body) == 141
    body += struct.pack(">I", crc32(body) ^ (0 if good_crc else 1))
    return bytes(body)


def v3_second_area(marker="ZL2", pver="PLAT-4.2.1", good_crc=True):
    body = bytearray(field(marker, 3) + field(pver, 31) + b"\xee" * 26)
    body += struct.pack(">I", crc32(body) ^ (0 if good_crc else 1))
    return bytes(body)


ERASED_SECOND_AREA = b"\xff" * 64
GAP = bytes(range(47))


def v3_image(first=None, second=None):
    first = first if first is not None else v3_first_area()
    second = second if second is not None else v3_second_area()
    return first + GAP + second


# --- the switch model --------------------------------------------------------

def read_switch_log(path):
    """The model's access log as (time, entry) pairs. Register accesses are
    ("read"|"write", device, register, value); GPIO writes are ("gpio", file,
    text); refused writes ("refused", rest of line)."""
    entries = []
    for line in open(path).read().splitlines():
        time, kind, rest = line.split(" ", 2)
        if kind in ("read", "write"):
            device, register, value = rest.split()
            entry = (kind, int(device, 16), int(register), int(value, 16))
        elif kind == "gpio":
            entry = ("gpio", *rest.split())
        else:
            entry = (kind, rest)
        entries.append((float(time), entry))
    return entries


def switch_options(log, *extra, **registers):
    """The --switch feature word; registers as d<DEV>_r<REG>=VALUE (hex dev)."""
    words = [f"log={log}", *extra]
    words += [f"{name[1:].split('_r')[0]}:{name.split('_r')[1]}={value:x}"
              for name, value in registers.items()]
    return "--switch=" + ",".join(words)
