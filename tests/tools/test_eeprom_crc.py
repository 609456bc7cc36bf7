"""eeprom-crc: result lines, codes, option errors, zone limits and migration."""
import os
import resource
import signal
import struct

import pytest

from toolsupport import (GAP, crc32, run, run_unprivileged, tool, v2_image, v3_first_area, v3_image,
                         v3_second_area)

EEPROM_CRC = tool("eeprom-crc")
ZEL_EEPROM = tool("zel-eeprom")

USAGE = ("Use crc32 : -o  \t\t\tverify the crc32 at EEP_CRC32_POS \n"
         "-c  \t\t\tcalculate the crc32 at EEP_CRC32_POS \n"
         "-k  \t\t\tmigrate the eeprom from version2 to version 3 \n"
         "-f filename   \tverify the crc32 at EEP_CRC32_POS from binary <filename>\n"
         "-s offset \t\tstart calculating crc32 in buffer zone at <offset> (default 0 )\n"
         "-l length \t\t<length> of the zone to process (default EEP_CRC32_POS) \n")


def crc_tool(*args, features=(), **kwargs):
    return run([EEPROM_CRC, *args], features=features, **kwargs)


def compute_line(crc):
    swapped = struct.unpack("<I", struct.pack(">I", crc))[0]
    return (f"SUCCESS {crc:X} {swapped:X} HEX "
            + "".join(f"{b:02X} " for b in struct.pack(">I", crc)) + "\n")


def test_verify_defaults_to_the_first_area_of_the_board_eeprom(image_file):
    image = v3_image()
    result = crc_tool(features=[f"--eeprom={image_file(image)}"])
    assert (result.status, result.out) == (0, f"SUCCESS {crc32(image[:141]):X}\n")


@pytest.mark.parametrize("args, status, out", [
    (["-s", "192", "-l", "60"], 0, f"SUCCESS {crc32(v3_second_area()[:60]):X}\n"),
    (["-c", "-s", "192", "-l", "60"], 0, compute_line(crc32(v3_second_area()[:60]))),
    (["-c"], 0, compute_line(crc32(v3_first_area()[:141]))),
    (["-c", "-s", "256", "-l", "0"], 0, "SUCCESS 0 0 HEX 00 00 00 00 \n"),
    (["-o", "-l", "140"], 4, "ERROR 4  crc mismatch 0\n"),
    (["-c", "-o"], 0, f"SUCCESS {crc32(v3_first_area()[:141]):X}\n"),  # the last wins
])
def test_verify_and_compute_zones(image_file, args, status, out):
    result = crc_tool(*args, "-f", image_file(v3_image()))
    assert (result.status, result.out) == (status, out)


def test_crc_with_zero_upper_bytes_prints_without_leading_zeros(image_file):
    # Search a serial number whose first-area CRC has its upper 16 bits clear.
    for n in range(1 << 20):
        first = v3_first_area(serial=f"S{n:011d}")
        if crc32(first[:141]) >> 16 == 0:
            break
    crc = crc32(first[:141])
    path = image_file(v3_image(first=first))
    assert crc_tool("-f", path).out == f"SUCCESS {crc:X}\n"
    assert crc_tool("-c", "-f", path).out == compute_line(crc)
    assert compute_line(crc).split("HEX ")[1].startswith("00 00 ")


@pytest.mark.parametrize("data, verify, compute, status", [
    (v2_image(), "ERROR 3  bad eeprom version ( not a version 3 ) 0\n", "ERROR 0 3\n", 3),
    (v3_image()[:255], "ERROR 2  read eeprom 0\n", "ERROR 0 2\n", 2),
    (b"", "ERROR 2  read eeprom 0\n", "ERROR 0 2\n", 2),
    (v3_image(first=v3_first_area(good_crc=False)), "ERROR 4  crc mismatch 0\n",
     compute_line(crc32(v3_first_area()[:141])), 4),
])
def test_failures_of_verify_and_compute(image_file, data, verify, compute, status):
    path = image_file(data)
    assert (crc_tool("-f", path).status, crc_tool("-f", path).out) == (status, verify)
    computed = crc_tool("-c", "-f", path)
    assert computed.out == compute
    assert computed.status == (0 if status == 4 else status)


def test_unopenable_inputs(tmp_path):
    missing = crc_tool("-f", str(tmp_path / "absent"))
    assert (missing.status, missing.out) == (1, "ERROR 1  access eeprom 0\n")
    directory = crc_tool("-f", str(tmp_path), "-v")
    assert (directory.status, directory.out) == (2, "Error reading eeprom\nERROR 2  read eeprom 0\n")
    default = crc_tool("-v")   # no EEPROM in the sandbox
    assert (default.status, default.out) == (1, "Error access eeprom\nERROR 1  access eeprom 0\n")


def test_unreadable_board_eeprom(image_file):
    path = image_file(v3_image())
    os.chmod(path, 0o600)
    result = run_unprivileged([EEPROM_CRC], features=[f"--eeprom={path}"])
    assert (result.status, result.out) == (1, "ERROR 1  access eeprom 0\n")


def test_verbose_verify_prints_dump_and_diagnostics(image_file):
    image = v3_image(first=v3_first_area(good_crc=False))
    result = crc_tool("-v", "-f", image_file(image))
    dump = "".join(("\n" if i % 16 == 0 else "") + f"{b:02X} " for i, b in enumerate(image)) + "\n"
    stored = struct.unpack(">I", image[141:145])[0]
    assert result.out == (dump + f"Calculated CRC crc32 is {crc32(image[:141]):X}\n"
                          f"Error crc verification {crc32(image[:141]):X} != {stored:X}"
                          "ERROR 4  crc mismatch 0\n")
    assert result.status == 4


@pytest.mark.parametrize("args, status, out", [
    (["-x"], 101, ""),
    (["-v", "-x"], 101, "Unknown option `-x'.\n" + USAGE),
    (["-x", "-v"], 101, ""),                 # -v counts only before the fault
    (["-v", "-s"], 101, "Option -s requires an argument.\n" + USAGE),
    (["-v", "-f"], 101, "Option -f requires an argument.\n" + USAGE),
    (["-v", "-\x01"], 101, "Unknown option character `\\x1'.\n" + USAGE),
    (["-v", "-\xe9"], 101, "Unknown option character `\\xc3'.\n" + USAGE),
    (["-s", "300", "-f", "/absent"], 105, ""),   # before anything is read
    (["-s", "0x101"], 105, ""),
    (["-l", "257"], 106, ""),
    (["-l", "99999999999999999999999"], 106, ""),
    (["-k"], 103, "ERROR file required\n"),
])
def test_option_errors(args, status, out):
    result = crc_tool(*args)
    assert (result.status, result.out) == (status, out)


@pytest.mark.parametrize("args, out", [
    (["-c", "-s", "200", "-l", "100"],
     "ERROR zone start 200 length 100 does not fit in the 256-byte image\n"),
    (["-c", "-s", "197", "-l", "60"],
     "ERROR zone start 197 length 60 does not fit in the 256-byte image\n"),
    (["-s", "193", "-l", "60"],
     "ERROR zone start 193 length 60 with its stored crc does not fit in the 256-byte image\n"),
    (["-s", "256", "-l", "256"],
     "ERROR zone start 256 length 256 with its stored crc does not fit in the 256-byte image\n"),
    (["-s", "-1"], "ERROR -s must not be negative: -1\n"),
    (["-l", "-0x10"], "ERROR -l must not be negative: -0x10\n"),
    (["-s", "abc"], "ERROR -s needs a number, not 'abc'\n"),
    (["-l", "12x"], "ERROR -l needs a number, not '12x'\n"),
    (["-l", ""], "ERROR -l needs a number, not ''\n"),
    (["-s", "-99999999999999999999"], "ERROR -s must not be negative: -99999999999999999999\n"),
])
def test_zones_outside_the_image_are_refused(image_file, args, out):
    result = crc_tool(*args, "-f", image_file(v3_image()))
    assert (result.status, result.out) == (107, out)


def test_migration_rewrites_version2_as_version3(image_file):
    before = v2_image(tag="OLDTAG")
    path = image_file(before)
    result = crc_tool("-k", "-f", path)
    after = open(path, "rb").read()

    new_crc = crc32(after[:141])
    assert result.status == 0
    assert result.out == "PROCESSING FOR MIGRATION\nPROCESSING COMPLETED\n" + compute_line(new_crc)
    assert len(after) == 256
    assert after[0] == 3
    assert after[1:50] == before[1:50]
    assert after[50:68] == bytes(18)
    assert after[68:141] == before[50:123]
    assert after[141:145] == struct.pack(">I", new_crc)
    assert after[145:] == before[145:]

    assert crc_tool("-f", path).out == f"SUCCESS {new_crc:X}\n"
    shown = run([ZEL_EEPROM, "TAG", "MAC:LIST", "@PPN", "SWVER", "MFG", "MCOUNT", "--file", path])
    assert shown.status == 0
    assert shown.out.splitlines() == [
        "TAG OLDTAG", "MAC:LIST " + " ".join(
            ":".join(f"{b:02X}" for b in before[51 + 6 * i:57 + 6 * i]) for i in range(12)),
        "@PPN 300", "SWVER ", "MFG ", "MCOUNT 2"]


def test_migration_of_the_board_eeprom_only_when_named(image_file):
    path = image_file(v2_image())
    sysfs = "/sys/bus/i2c/devices/2-0050/eeprom"
    unnamed = crc_tool("-k", features=[f"--eeprom={path}"])
    assert (unnamed.status, unnamed.out) == (103, "ERROR file required\n")
    assert open(path, "rb").read() == v2_image()
    named = crc_tool("-k", "-f", sysfs, features=[f"--eeprom={path}"])
    assert named.status == 0
    assert open(path, "rb").read()[0] == 3


@pytest.mark.parametrize("data, out", [
    (v3_image(), "ERROR 6  bad eeprom version 0\n"),
    (v2_image(good_crc=False), "ERROR 4  crc mismatch 0\n"),
    (v2_image()[:200], "ERROR 2  read eeprom 0\n"),
    (b"\x02" + GAP, "ERROR 2  read eeprom 0\n"),
])
def test_failed_migration_leaves_the_file_untouched(image_file, data, out):
    path = image_file(data)
    result = crc_tool("-k", "-f", path)
    assert (result.status, result.out) == (int(out.split()[1]), out)
    assert open(path, "rb").read() == data


def test_a_write_that_fails_when_flushed_is_reported(image_file):
    path = image_file(v2_image())

    def small_file_limit():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (100, 100))

    # fwrite() only buffers the 256 bytes; the write happens, and fails, at
    # the close.
    result = crc_tool("-v", "-k", "-f", path, preexec_fn=small_file_limit)
    assert result.status == 2
    assert result.out.endswith("Error writing eeprom\nERROR 2  read eeprom 0\n")
    assert "PROCESSING COMPLETED" not in result.out
    assert os.path.getsize(path) == 100
