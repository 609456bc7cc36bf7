"""Start, serve and stop: what ends the service and with which exit status."""
import os
import signal

from zelsupport.board import Board, pipelined_calls, run_until_answered, word
from zelsupport.procwait import wait_queued


def blocked_item(board, token):
    """An item whose file cannot be written: storing it fails internally."""
    (board.items_dir / f"{token:08X}.data").mkdir(parents=True)


def test_partitions_not_mounted_stop_the_start(board_root):
    for missing, message in (({"data": False}, "MMC partition /dev/mmcblk1p4 not mounted\n"),
                             ({"nor": False}, "")):
        board = Board(board_root / f"board-{sorted(missing)[0]}", device=False, **missing)
        board.start(wait=False)
        assert board.wait() == 1
        assert board.stderr() == message
        # Both key directories are opened before giving up; no items are.
        assert not (board.data / "vyrna" / ".secureStorage").exists()


def test_internal_error_then_success_in_one_dispatch_keeps_serving(running):
    blocked_item(running, 5)
    pid = running.service_pid()
    os.kill(pid, signal.SIGSTOP)
    try:
        connection, loop, answers = pipelined_calls(running, [
            ("StoreData", word(5) + word(0o600) + b"fails"),
            ("StoreData", word(6) + word(0o600) + b"succeeds")])
        wait_queued(pid, "StoreData", 2)  # both reach the service in one read
    finally:
        os.kill(pid, signal.SIGCONT)
    assert run_until_answered(loop, answers) == [bytes([8, 1, 2, 0, 0, 0, 0, 0]),
                                                 bytes([0, 0, 0, 0, 6, 0, 0, 0])]
    connection.close()
    # The last reply of the dispatch decides: the service is still serving.
    assert running.retrieve(6)[:2] == (0, b"succeeds")
    assert running.process.poll() is None


def test_internal_error_last_in_a_dispatch_stops_after_answering_all(running):
    blocked_item(running, 5)
    pid = running.service_pid()
    os.kill(pid, signal.SIGSTOP)
    try:
        connection, loop, answers = pipelined_calls(running, [
            ("StoreData", word(6) + word(0o600) + b"succeeds"),
            ("StoreData", word(5) + word(0o600) + b"fails")])
        wait_queued(pid, "StoreData", 2)
    finally:
        os.kill(pid, signal.SIGCONT)
    assert run_until_answered(loop, answers) == [bytes([0, 0, 0, 0, 6, 0, 0, 0]),
                                                 bytes([8, 1, 2, 0, 0, 0, 0, 0])]
    connection.close()
    assert running.wait() == 0
    # The next start finds the stored item.
    running.start()
    assert running.retrieve(6)[:2] == (0, b"succeeds")


def test_both_key_copies_damaged_wipes_items_and_next_start_is_empty(board):
    board.start()
    assert board.store(0, 0o600, b"doomed")[:2] == (0, 1)
    board.stop()
    (board.keys_dir / ".CRC").write_text("0")
    (board.backup_dir / ".CRC").write_text("0")
    board.start(wait=False)
    assert board.wait() == 1
    assert list(board.items_dir.iterdir()) == []
    assert list(board.keys_dir.iterdir()) == [] and list(board.backup_dir.iterdir()) == []

    board.start()
    assert board.retrieve(1)[0] == 3
    assert board.store(0, 0o600, b"fresh")[:2] == (0, 1)
