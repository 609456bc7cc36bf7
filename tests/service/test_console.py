"""The console driven through a pty, as an operator uses it."""
import os

import pexpect
import pytest

from zelsupport import paths
from zelsupport.board import word

MENU = ("Enter the service #:\r\n    1: StoreData\r\n    2: RetrieveData\r\n"
        "    3: ClearData\r\nOr q for exit\r\n")


class Console:
    def __init__(self, board):
        self.board = board
        self.child = pexpect.spawn(str(paths.built("apps/VyrnaSecurityTester/VyrnaSecurityTester")),
                                   env=board.env(), encoding="latin-1", timeout=60, echo=False)
        self.child.expect_exact(MENU)

    def send(self, *lines):
        for line in lines:
            self.child.sendline(line)

    def expect(self, text):
        self.child.expect_exact(text)
        return self.child.before

    def answer(self):
        """The line printed for the service's answer, then the next menu."""
        self.child.expect(r"\r\n([0-9A-F]{2}(?: [0-9A-F]{2})*(?: \.\.\. [0-9A-F]{2})?)( \[.*?\])?\r\n")
        return self.child.match.group(1), self.child.match.group(2) or ""

    def quit(self):
        self.send("q")
        self.child.expect(pexpect.EOF)
        self.child.close()
        return self.child.exitstatus

    def store(self, token, mode, data):
        self.send("1", token, mode, "i", data)


@pytest.fixture
def console(running):
    c = Console(running)
    yield c
    if c.child.isalive():
        c.child.terminate(force=True)


@pytest.mark.parametrize("line", ["", "4", "12", "qq", " 1"])
def test_bad_menu_choices(console, line):
    console.send(line)
    console.expect(f"Bad input {line}. Retry.\r\n" + MENU)
    assert console.quit() == 0


@pytest.mark.parametrize("token", ["123456789", "12g4", "-1", ""])
def test_bad_token_ids(console, token):
    console.send("2", token)
    console.expect("Enter the token id:\r\n")
    console.expect(f"Bad input {token}. Retry.\r\n" + MENU)


def test_full_token_and_missing_item(console):
    console.send("2", "ffffffff")
    assert console.answer()[0] == "03 00 00 00"
    console.expect(MENU)
    # A failed retrieve is still a call that worked: the exit status is 0.
    assert console.quit() == 0


@pytest.mark.parametrize("mode, sent", [("7", 7), ("640", 0o640), ("0", 0), ("-1", -1)])
def test_permissions_are_octal_and_sent_as_typed(console, running, mode, sent):
    console.store("a1", mode, "data")
    answer = console.answer()[0]
    if 1 <= sent <= 0o777:
        assert answer == "00 00 00 00 A1 00 00 00"
        header = (running.items_dir / "000000A1.data").read_bytes()
        assert int.from_bytes(header[8:12], "little") == sent
    else:
        assert answer == "05 00 00 00 00 00 00 00"


@pytest.mark.parametrize("mode", ["8", "1234", "rw"])
def test_bad_permissions(console, mode):
    console.send("1", "1", mode)
    console.expect(f"Bad input {mode}. Retry.\r\n" + MENU)


def test_source_question_is_repeated_until_answered(console):
    console.send("1", "0", "600", "x", "ff", "i", "typed data")
    console.expect("Read from [f]ile or standard [i]nput? ")
    for _ in range(2):
        console.expect("Enter 'f' for file of 'i' for standard input: ")
    console.expect("Enter the data:")
    assert console.answer()[0] == "00 00 00 00 01 00 00 00"


def test_empty_data_line_is_refused_by_the_service(console):
    console.store("0", "600", "")
    assert console.answer()[0] == "02 00 00 00 00 00 00 00"


def test_data_files_up_to_64k(console, running):
    big = running.root / "big"
    big.write_bytes(b"z" * 70000)
    console.send("1", "0", "600", "f", str(big))
    console.expect(f"Bad input (too long: 68K). 64K MAX. Retry.\r\n" + MENU)
    largest = running.root / "largest"
    largest.write_bytes(bytes(range(256)) * 255 + bytes(255))  # 65535 bytes
    console.send("1", "0", "600", "f", str(largest))
    assert console.answer()[0] == "00 00 00 00 01 00 00 00"
    assert running.retrieve(1)[1] == largest.read_bytes()
    console.send("1", "0", "600", "f", str(running.root / "absent"))
    console.expect(f"Error opening file {running.root / 'absent'}\r\n" + MENU)


def test_retrieved_text_binary_and_long_answers(console, running):
    running.store(1, 0o600, b"printable text\tand tab")
    running.store(2, 0o600, b"bell\x07")
    running.store(3, 0o600, b"a" * 125)            # answer of 129 bytes
    running.store(4, 0o600, b"b" * 124)            # answer of 128 bytes
    running.store(5, 0o600, b"stop\x00\x01hidden")  # text ends at the zero byte

    console.send("2", "1")
    hexes, rest = console.answer()
    assert hexes == "00 00 00 00 " + " ".join(f"{b:02X}" for b in b"printable text\tand tab")
    assert rest == " [printable text\tand tab]"
    console.expect("Save to file[y]? ")
    console.send("n")
    console.expect("Data not saved\r\n" + MENU)

    console.send("2", "2")
    assert console.answer()[1] == " [<binary>]"
    console.send("n")

    console.send("2", "3")
    console.child.expect(r"\r\n00 00 00 00 \.\.\. 61\r\nOutput is too long. Print anyway\[y\]\? ")
    console.send("y")
    console.expect("a" * 125 + "\r\nSave to file[y]? ")
    console.send("n")

    console.send("2", "4")
    hexes, rest = console.answer()
    assert hexes == "00 00 00 00 " + " ".join(["62"] * 124) and rest == " [" + "b" * 124 + "]"
    console.send("n")

    console.send("2", "5")
    assert console.answer()[1] == " [stop]"
    console.send("n")
    assert console.quit() == 0


def test_saving_retrieved_data(console, running):
    running.store(1, 0o600, b"to be saved\x00\xff")
    target = running.root / "new" / "dir" / "saved.bin"
    console.send("2", "1")
    console.expect("Save to file[y]? ")
    console.send("y", str(target))
    console.expect("Enter the file path:\r\nData written to file\r\n" + MENU)
    assert target.read_bytes() == b"to be saved\x00\xff"

    console.send("2", "1")
    console.expect("Save to file[y]? ")
    console.send("y", "/proc/no/such")
    console.expect("Error opening file /proc/no/such\r\n" + MENU)


def test_failed_call_makes_the_exit_status_255(console, running):
    running.stop()  # the bus goes with the board
    console.send("3", "1")
    console.expect("Error: zeldbus_sendMessageSync returned -2\r\n")
    assert console.quit() == 255


def test_no_bus_ends_the_console_at_once(running):
    env = dict(running.env(), DBUS_SYSTEM_BUS_ADDRESS="unix:path=/nonexistent")
    child = pexpect.spawn(str(paths.built("apps/VyrnaSecurityTester/VyrnaSecurityTester")),
                          env=env, encoding="latin-1", timeout=60, echo=False)
    child.expect(pexpect.EOF)
    child.close()
    assert child.before == "" and child.exitstatus == 255


def test_end_of_input_ends_the_console(running):
    console = Console(running)
    console.child.sendeof()
    console.child.expect(pexpect.EOF)
    console.child.close()
    assert console.child.exitstatus == 0
