"""zel-eeprom as field engineers and scripts run it: exact texts and statuses."""
import os
import struct

import pytest

from toolsupport import (ERASED_SECOND_AREA, FIRST_MAC, crc32, mac_text, run,
                         run_unprivileged, tool, v2_image, v3_first_area, v3_image,
                         v3_second_area)

ZEL_EEPROM = tool("zel-eeprom")


def eeprom(*args, file=None, features=(), stdin=None):
    """Runs zel-eeprom; file= appends "--file <file>"."""
    words = [ZEL_EEPROM, *args] + (["--file", file] if file else [])
    return run(words, features=features, stdin=stdin)


def rows(*items):
    return "".join(f"\t\t{name:<15} {key:<25} {description}\n" for name, key, description in items)


RUNTIME_ROWS = rows(
    ("@SIZE", "-", "(Runtime)_EEPROM_size_(according_to_the_version)"),
    ("@ERROR", "-", "(Runtime)_Eventual_error_(not_defined_in_case_of_success)"),
    ("@WARNING", "-", "(Runtime)_Eventual_warning"),
    ("@CALCULATED_CRC", "-", "(Runtime)_Calculated_crc_(Only_in_case_of_CRC_error)"),
    ("@PROVIDED_CRC", "-", "(Runtime)_Provided_crc_(Only_in_case_of_CRC_error)"),
    ("@HEX_DUMP", "-", "(Runtime)_Hex_dump_(Only_in_case_of_CRC_error)"))

HELP = (
    "ZEL EEPROM tool 1.0\n\n"
    "usage: zel-eeprom --help\tdisplays this help\n"
    "usage: zel-eeprom --list\n"
    "\tdumps the entire EEPROM including descriptions\n"
    "usage: zel-eeprom [VARIABLE ... VARIABLE] [--file <file>|-] \n"
    "\tSupported versions : Version 2, Version 3\n"
    "\tVersion 2 items:\n"
    + rows(("VERSION", "EEPROM:VERSION", "Version_of_this_structure"),
           ("TAG", "EEPROM:TAG", "EEPROM_TAG"),
           ("MCOUNT", "MAC:COUNT", "Number_of_MAC_addresses"),
           ("MACS", "MAC:LIST", "MAC_addresses"),
           ("CRC32", "EEPROM:CRC32", "Checksum"),
           ("@PPN", "-", "(Runtime)PPN_from_MAC"))
    + RUNTIME_ROWS
    + "\tVersion 3 items:\n"
    + rows(("VERSION", "EEPROM:VERSION", "EEPROM_Version"),
           ("TAG", "EEPROM:TAG", "EEPROM_Tag"),
           ("REVISION", "BOARD:VERSION", "Board_Version"),
           ("SERIAL", "BOARD:SERIAL", "Board_Serial_Number"),
           ("DATE", "BOARD:BUILD_DATE", "Board_Build_Date"),
           ("BOARD", "BOARD:NAME", "Board_Name"),
           ("SWVER", "SOFTWARE:VERSION", "Software_Version"),
           ("MFG", "BOARD:MANUFACTURER", "Manufacturer_name"),
           ("MCOUNT", "MAC:COUNT", "Number_of_MAC_addresses"),
           ("MACS", "MAC:LIST", "MAC_addresses"),
           ("CRC32", "EEPROM:CRC32", "1st_area_Checksum"),
           ("@PPN", "-", "(Runtime)PPN_from_MAC"),
           ("MARKER", "EEPROM2:MARKER", "EEPROM_2nd_area_marker"),
           ("PVER", "PLATFORM:VERSION", "PlatformVersion.txt"),
           ("CRC32-2", "EEPROM2:CRC32", "2nd_area_Checksum"))
    + RUNTIME_ROWS)


def hex32(data):
    return f"0x{crc32(data):08X}"


FIRST = v3_first_area()
SECOND = v3_second_area()
V3_LINES = [
    "EEPROM:VERSION 3", "EEPROM:TAG TAGV3", "BOARD:VERSION R1.2",
    "BOARD:SERIAL SN0012345678", "BOARD:BUILD_DATE 15-07-23", "BOARD:NAME ZEL Controller",
    "SOFTWARE:VERSION SW1.0", "BOARD:MANUFACTURER ZELMAKE", "MAC:COUNT 2",
    f"MAC:LIST {mac_text()}", f"EEPROM:CRC32 {hex32(FIRST[:141])}", "@PPN 300",
    "EEPROM2:MARKER ZL2", "PLATFORM:VERSION PLAT-4.2.1",
    f"EEPROM2:CRC32 {hex32(SECOND[:60])}", "@SIZE 256"]


def test_help_is_exact_and_exits_255():
    result = eeprom("--help")
    assert (result.status, result.out, result.err) == (255, HELP, "")


def test_version3_listing_and_verbose_listing(image_file):
    path = image_file(v3_image())
    plain = eeprom(file=path)
    assert (plain.status, plain.err) == (0, "")
    assert plain.out.splitlines() == V3_LINES

    verbose = eeprom("--list", file=path)
    assert verbose.status == 0
    lines = verbose.out.splitlines()
    assert len(lines) == len(V3_LINES)
    assert lines[3] == "SERIAL BOARD:SERIAL Board_Serial_Number SN0012345678"
    assert lines[11] == "@PPN - (Runtime)PPN_from_MAC 300"
    assert lines[-1] == "@SIZE - (Runtime)_EEPROM_size_(according_to_the_version) 256"


def test_version2_listing(image_file):
    image = v2_image(macs=[b"\xff" * 6] * 12)
    result = eeprom(file=image_file(image))
    assert (result.status, result.err) == (0, "")
    assert result.out.splitlines() == [
        "EEPROM:VERSION 2", "EEPROM:TAG TAGV2", "MAC:COUNT 2",
        "MAC:LIST " + " ".join(["FF:FF:FF:FF:FF:FF"] * 12),
        f"EEPROM:CRC32 {hex32(image[:123])}", "@PPN 16777215", "@SIZE 127"]


@pytest.mark.parametrize("names, out", [
    (["serial"], "SN0012345678\n"),
    (["SERIAL"], "SN0012345678\n"),
    (["board:serial"], "SN0012345678\n"),
    (["Board:Serial"], "SN0012345678\n"),
    (["@ppn"], "300\n"),
    (["MAC:LIST"], mac_text() + "\n"),
    (["@SIZE"], "256\n"),
    (["pver", "date", "CRC32-2"],
     f"pver PLAT-4.2.1\ndate 15-07-23\nCRC32-2 {hex32(SECOND[:60])}\n"),
])
def test_items_by_short_name_or_key_in_any_case(image_file, names, out):
    result = eeprom(*names, file=image_file(v3_image()))
    assert (result.status, result.out, result.err) == (0, out, "")


@pytest.mark.parametrize("names, out, unknown", [
    (["@ERROR"], "", "@ERROR"),          # no value on a sound image
    (["-"], "", "-"),                    # @PPN has no key
    (["TAG", "NOPE", "DATE"], "TAG TAGV3\n", "NOPE"),  # stops at the first unknown
    (["TAG", "--list"], "TAG TAGV3\n", "--list"),      # --list among names is a name
    (["--file", "x", "TAG"], "", "--file"),           # --file not at the end
])
def test_unknown_items_exit_6(image_file, names, out, unknown):
    result = eeprom(*names, file=image_file(v3_image()))
    assert (result.status, result.out, result.err) == (6, out, f"Unknown item {unknown}\n")


def test_reads_standard_input_and_the_default_sysfs_path(image_file):
    image = v3_image()
    assert eeprom("SERIAL", file="-", stdin=image).out == "SN0012345678\n"
    sysfs = eeprom("SERIAL", features=[f"--eeprom={image_file(image)}"])
    assert (sysfs.status, sysfs.out) == (0, "SN0012345678\n")
    # An empty list: only "--file -" given.
    assert eeprom(file="-", stdin=image).out.splitlines() == V3_LINES


def test_version2_crc_failure_lists_runtime_items_only(image_file):
    image = v2_image(good_crc=False)
    calculated, provided = crc32(image[:123]), struct.unpack(">I", image[123:127])[0]
    result = eeprom(file=image_file(image))
    assert result.status == 4
    assert result.err == f"CRC check failed {calculated:08X}!={provided:08X}\n"
    assert result.out.splitlines() == [
        "@SIZE 127", "@ERROR WRONG_CRC", f"@CALCULATED_CRC 0x{calculated:08X}",
        f"@PROVIDED_CRC 0x{provided:08X}", "@HEX_DUMP " + image[:127].hex().upper()]


def test_version3_first_area_crc_failure(image_file):
    image = v3_image(first=v3_first_area(good_crc=False))
    path = image_file(image)
    serial = eeprom("BOARD:SERIAL", file=path)
    assert (serial.status, serial.out) == (4, "")
    assert serial.err.endswith("Unknown item BOARD:SERIAL\n")
    dump = eeprom("@HEX_DUMP", file=path)
    assert (dump.status, dump.out) == (4, image[:145].hex().upper() + "\n")
    assert eeprom("@SIZE", "@ERROR", file=path).out == "@SIZE 145\n@ERROR WRONG_CRC\n"


def test_erased_second_area_is_ignored_with_a_warning(image_file):
    path = image_file(v3_image(second=ERASED_SECOND_AREA))
    result = eeprom(file=path)
    assert result.status == 0
    erased = hex32(ERASED_SECOND_AREA[:60])
    assert result.err == ("Ignoring second area (CRC Error) calculated="
                          f"{erased} provided=0xFFFFFFFF\n")
    assert result.out.splitlines() == V3_LINES[:12] + [
        "@SIZE 145", "@WARNING OPTIONAL_AREA_CRC_ERROR"]
    pver = eeprom("PLATFORM:VERSION", file=path)
    assert (pver.status, pver.out) == (6, "")


@pytest.mark.parametrize("length, message", [
    (145, "Warning : Error while skipping skipping optional unused area 47 [5] - "
          "Input/output error\n"),
    (200, "Warning: Error reading optional ZEL area {192-64->200} [-1] - generic error\n"),
])
def test_short_optional_areas_warn_and_keep_the_first_area(image_file, length, message):
    result = eeprom("serial", "@SIZE", "@WARNING", file=image_file(v3_image()[:length]))
    assert (result.status, result.err) == (0, message)
    assert result.out == "serial SN0012345678\n@SIZE 145\n@WARNING OPTIONAL_AREA_READ_ERROR\n"


def test_migrated_layout_fields_render_from_the_version3_table(image_file):
    # Full fields without NUL, a NUL-started field and 0xFF bytes in text.
    first = v3_first_area(serial="ABCDEFGHIJKL", swver="", mfg=b"\xffMAKER",
                          mac_count=7, macs=[FIRST_MAC] * 12)
    result = eeprom("serial", "swver", "mfg", "mcount", "@ppn",
                    file=image_file(v3_image(first=first)))
    assert result.out == ("serial ABCDEFGHIJKL\nswver \nmfg \xffMAKER\nmcount 7\n@ppn 300\n")


@pytest.mark.parametrize("data, status, err", [
    (b"", 1, ""),
    (b"\xff" * 256, 5, "Unknown EEPROM version 255\n"),
    (b"\x00" * 256, 5, "Unknown EEPROM version 0\n"),
    (b"\x04garbage", 5, "Unknown EEPROM version 4\n"),
    (v2_image()[:60], 1, "I/O error reading eeprom data : [0] - Success\n"),
    (v3_image()[:144], 1, "I/O error reading eeprom data : [0] - Success\n"),
    (b"\x03" + bytes(range(255)), 4, None),   # garbage with a version byte: CRC failure
])
def test_bad_images(image_file, data, status, err):
    result = eeprom("serial", file=image_file(data))
    assert result.status == status
    if err is not None:
        assert result.err == err
    assert result.out == ""


def test_oversized_input_reads_the_first_256_bytes(image_file):
    result = eeprom(file=image_file(v3_image() + b"\x00" * 4096))
    assert (result.status, result.out.splitlines()) == (0, V3_LINES)


def test_missing_directory_and_absent_default_inputs(tmp_path):
    missing = eeprom(file=str(tmp_path / "absent"))
    assert (missing.status, missing.out) == (2, "")
    assert missing.err == f"Error opening file {tmp_path / 'absent'} - [2] No such file or directory\n"
    directory = eeprom(file=str(tmp_path))
    assert (directory.status, directory.out, directory.err) == (1, "", "")
    # No board EEPROM in the sandbox: the default path does not exist.
    default = eeprom()
    assert default.status == 2
    assert default.err.startswith("Error opening file /sys/class/i2c-adapter/i2c-2/2-0050/eeprom")


def test_unreadable_board_eeprom(image_file):
    path = image_file(v3_image())
    os.chmod(path, 0o600)
    result = run_unprivileged([ZEL_EEPROM], features=[f"--eeprom={path}"])
    assert (result.status, result.out) == (2, "")
    assert result.err == ("Error opening file /sys/class/i2c-adapter/i2c-2/2-0050/eeprom"
                          " - [13] Permission denied\n")
