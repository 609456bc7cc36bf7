"""The three methods through the real bus, from clients nobody here wrote
(busctl, gdbus) and from the console: the exact answer bytes of every status."""
import subprocess
import zlib

import pytest

from zelsupport import paths
from zelsupport.board import CLIENTS, SANDBOX, word

CLIENT_NAMES = sorted(CLIENTS)


def store_request(token, mode, data):
    return word(token) + word(mode) + data


@pytest.mark.parametrize("client", CLIENT_NAMES)
def test_success_answers(running, client):
    call = CLIENTS[client]
    assert call(running, "StoreData", store_request(0, 0o600, b"hello board")) == \
        bytes([0, 0, 0, 0, 1, 0, 0, 0])
    assert call(running, "RetrieveData", word(1)) == bytes(4) + b"hello board"
    assert call(running, "ClearData", word(1)) == bytes(4)
    assert call(running, "RetrieveData", word(1)) == bytes([3, 0, 0, 0])


@pytest.mark.parametrize("client", CLIENT_NAMES)
def test_refusals_answer_their_status_and_change_nothing(running, client):
    call = CLIENTS[client]
    assert call(running, "StoreData", store_request(7, 0o400, b"read only"))[:4] == bytes(4)
    refusals = [
        ("StoreData", store_request(8, 0o600, b""), bytes([2, 0, 0, 0, 0, 0, 0, 0])),
        ("StoreData", store_request(8, 0, b"x"), bytes([5, 0, 0, 0, 0, 0, 0, 0])),
        ("StoreData", store_request(8, 0o1000, b"x"), bytes([5, 0, 0, 0, 0, 0, 0, 0])),
        ("RetrieveData", word(9), bytes([3, 0, 0, 0])),
        ("ClearData", word(9), bytes([3, 0, 0, 0])),
        # The owner is bound by the write bits like everyone else.
        ("StoreData", store_request(7, 0o400, b"overwrite"), bytes([4, 0, 0, 0, 0, 0, 0, 0])),
        ("ClearData", word(7), bytes([4, 0, 0, 0])),
    ]
    for member, payload, expected in refusals:
        if client == "console" and int.from_bytes(payload[4:8], "little") > 0o777:
            continue  # the console takes at most three octal digits
        assert call(running, member, payload) == expected, (member, payload)
    assert call(running, "RetrieveData", word(7)) == bytes(4) + b"read only"
    assert sorted(p.name for p in running.items_dir.iterdir()) == ["00000007.data"]


def test_accepted_modes_and_padding(running):
    # n = 14, 15, 16 give plaintexts of 16, 32 and 32 bytes.
    for token, (mode, n, cipher) in enumerate([(1, 14, 16), (0o511, 15, 32), (0o777, 16, 32),
                                               (0o600, 1, 16), (0o600, 31, 48)], start=1):
        data = bytes(range(n))
        assert running.store(token, mode, data)[:2] == (0, token)
        assert (running.items_dir / f"{token:08X}.data").stat().st_size == 16 + cipher
        # Mode 1 gives its owner no read permission.
        assert running.retrieve(token)[:2] == ((0, data) if mode & 0o400 else (4, b""))


def test_altered_ciphertext_answers_a_crc_mismatch(running):
    running.store(0x42, 0o600, b"integrity matters")
    item = running.items_dir / "00000042.data"
    content = bytearray(item.read_bytes())
    content[20] ^= 0x01  # first cipher block: garbles the prefix count's block
    item.write_bytes(bytes(content))
    status, data, answer = running.retrieve(0x42)
    # The stand-in device never refuses an aligned decryption, so the
    # mismatch shows as status 7 and the service keeps serving.
    assert answer == bytes([7, 0, 0, 0])
    assert running.retrieve(0x43)[0] == 3


def test_item_that_cannot_be_written_answers_internal_error_and_stops(running):
    (running.items_dir / "00000005.data").mkdir()
    assert running.call("StoreData", store_request(5, 0o600, b"x")) == bytes([8, 1, 2, 0, 0, 0, 0, 0])
    assert running.wait() == 0


def test_missing_device_answers_internal_error_of_the_key_store(no_device):
    no_device.start()
    assert no_device.call("StoreData", store_request(0, 0o600, b"x")) == \
        bytes([8, 0, 8, 0, 0, 0, 0, 0])
    assert no_device.wait() == 0
    assert "Ephemeral keys encrypt error 8\n" in no_device.stderr()


@pytest.mark.parametrize("client", CLIENT_NAMES)
def test_statuses_of_other_users_damage_and_internal_errors(multiuser, client):
    """Statuses 4, 6, 7 and 8 as each client sees them: carol, who shares
    no group with alice, calling on alice's items."""
    call = CLIENTS[client]
    assert multiuser.store(0x30, 0o600, b"private", user="alice")[0] == 0
    assert multiuser.store(0x31, 0o666, b"shared", user="alice")[0] == 0
    assert multiuser.store(0x32, 0o666, b"damaged", user="alice")[0] == 0
    item = multiuser.items_dir / "00000032.data"
    item.write_bytes(item.read_bytes()[:-1] + bytes([item.read_bytes()[-1] ^ 0x80]))
    (multiuser.items_dir / "00000033.data").mkdir()

    assert call(multiuser, "RetrieveData", word(0x30), "carol") == bytes([4, 0, 0, 0])
    assert call(multiuser, "ClearData", word(0x30), "carol") == bytes([4, 0, 0, 0])
    assert call(multiuser, "StoreData", store_request(0x31, 0o644, b"x"), "carol") == \
        bytes([6, 0, 0, 0, 0, 0, 0, 0])
    assert call(multiuser, "RetrieveData", word(0x32), "carol") == bytes([7, 0, 0, 0])
    assert call(multiuser, "StoreData", store_request(0x33, 0o600, b"x"), "carol") == \
        bytes([8, 1, 2, 0, 0, 0, 0, 0])
    assert multiuser.wait() == 0


def crafted_item(board, token, plaintext):
    """An item whose ciphertext the device made from a chosen plaintext under
    the owner's (root's) key, with the matching CRC-32 in its header."""
    encrypted = subprocess.run(
        [str(SANDBOX), f"--vcrypto={board.device_dir}", "--",
         str(paths.built("kernel/vcrypto/vcrypto_probe")), "encrypt",
         str(board.keys_dir / "0000.key")],
        input=plaintext, capture_output=True, timeout=60)
    assert encrypted.returncode == 0, encrypted.stderr
    header = word(token) + word(0) + word(0o600) + word(zlib.crc32(plaintext))
    (board.items_dir / f"{token:08X}.data").write_bytes(header + encrypted.stdout)


def test_prefix_count_outside_the_plaintext_answers_a_mismatch(board):
    board.start()
    board.store(1, 0o600, b"makes root's key")
    board.stop()
    crafted_item(board, 0x10, bytes([16]) + bytes(16) + b"fifteen bytes!!")  # well formed
    for token, prefix in ((0x11, 0), (0x12, 17), (0x13, 31), (0x14, 255)):
        crafted_item(board, token, bytes([prefix]) + bytes(31))
    board.start()
    assert board.retrieve(0x10)[:2] == (0, b"fifteen bytes!!")
    for token in (0x11, 0x12, 0x13, 0x14):
        assert board.retrieve(token)[2] == bytes([7, 0, 0, 0]), hex(token)
    assert board.retrieve(1)[:2] == (0, b"makes root's key")
