"""The three kinds of journal entries, read back from the board's journald
with journalctl -o json once the board has stopped."""
import zlib

from zelsupport.board import word


def service_entries(board):
    entries = board.journal()
    for entry in entries:
        assert entry["SYSLOG_IDENTIFIER"] == "q512_status"
        assert entry["PRIORITY"] == "3"
        assert entry["CODE_FUNC"] == "printJournal"
        assert entry["CODE_FILE"].endswith("Logger.cpp")
        assert int(entry["CODE_LINE"]) > 0
    return [entry["MESSAGE"] for entry in entries]


def test_refusals_and_successes_write_no_journal_entries(running):
    running.store(1, 0o600, b"x")
    running.store(1, 0, b"x")
    running.retrieve(9)
    running.call("ClearData", b"\0")
    running.clear(1)
    running.stop()
    assert service_entries(running) == []


def test_file_that_cannot_be_opened_for_writing(running):
    (running.items_dir / "00000005.data").mkdir()
    running.store(5, 0o600, b"x")
    assert running.wait() == 0
    assert service_entries(running) == ["<in-error> : <Error writing on partition /dev/mmcblk1p4>"]


def test_key_that_cannot_be_created(no_device):
    no_device.start()
    no_device.store(0, 0o600, b"x")
    assert no_device.wait() == 0
    assert service_entries(no_device) == ["<in-error> : <Cannot create ephemeral key for UID 0000>"]


def replace_key_everywhere(board, uid_name, record):
    """A key the device cannot take, in both copies with matching CRCs."""
    for directory in (board.keys_dir, board.backup_dir):
        (directory / uid_name).write_bytes(record)
        contents = b"".join(p.read_bytes() for p in sorted(directory.iterdir())
                            if not p.name.startswith("."))
        (directory / ".CRC").write_bytes(b"%X" % zlib.crc32(contents))


def test_items_that_cannot_be_decrypted_or_encrypted(board):
    board.start()
    assert board.store(0x42, 0o600, b"secret")[:2] == (0, 0x42)
    board.stop()
    replace_key_everywhere(board, "0000.key", bytes(range(128)))

    board.start()
    assert board.call("RetrieveData", word(0x42)) == bytes([8, 0, 3, 0])
    assert board.wait() == 0
    board.start()
    assert board.call("StoreData", word(0) + word(0o600) + b"new") == bytes([8, 0, 2, 0, 0, 0, 0, 0])
    assert board.wait() == 0
    assert service_entries(board) == ["<in-error> : <Cannot decrypt selected data [0x00000042]>",
                                      "<in-error> : <Cannot encrypt selected data [0x00000000]>"]
    assert "Error ioctl /dev/vcrypto\nEphemeral keys encrypt error 2\n" in board.stderr()
