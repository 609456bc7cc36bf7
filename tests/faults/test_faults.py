"""The stores of the security service under faults: a kill, a medium error or
a full partition at the file-system calls of each operation (a bounded
sample here; bench/service_faults.py injects at every call), and a data
partition that really fills up."""
import os
import subprocess

import pytest

from zelsupport import faults
from zelsupport.board import Board, write_accounts

# Injections per operation and kind of fault in the test tier.
LIMITS = {"kill": 6, "eio": 8, "enospc": 3}


@pytest.fixture
def root(board_root):
    if os.geteuid() != 0:
        pytest.skip("needs root: strace attaches to the service, clients run as other users")
    return board_root


@pytest.mark.parametrize("operation", faults.OPERATIONS, ids=lambda op: op.name)
def test_every_sampled_fault_recovers(root, operation):
    lines = []
    failed, _, injected = faults.run_operation(root, operation, LIMITS, report=lines.append)
    assert all(injected[kind] for kind in operation_kinds(operation)), lines
    assert not failed, "\n".join(lines)


def operation_kinds(operation):
    # Reading writes nothing, so a full partition cannot touch it.
    return faults.KINDS[:2] if operation.request and operation.request[0] == "RetrieveData" \
        else faults.KINDS


def test_a_full_data_partition_loses_nothing(root):
    """/mnt/DATA on a small tmpfs: requests fail with their status until
    space is freed, and every item and key stored before is kept."""
    board = Board(root / "board", accounts=write_accounts(root / "accounts"))
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=128k", "tmpfs", str(board.data)], check=True)
    try:
        board.start()
        stored, filler = {}, bytes(range(256)) * 4
        for token in range(1, 200):
            status, _, answer = board.store(token, 0o600, filler + bytes([token]))
            if status != 0:
                break
            stored[token] = filler + bytes([token])
        # The disk is full: the failing store answered an internal error of
        # the item index, and the service stops after answering it.
        assert answer[:2] == bytes([8, 1]) and 10 < len(stored) < 199, answer
        assert board.wait() == 0
        keys = {p.name: p.read_bytes() for p in board.keys_dir.glob("*.key")}

        board.start()
        # An overwrite larger than the space left, and a first key.
        assert board.store(1, 0o600, filler * 12)[0] == 8
        board.restart()
        assert board.store(0, 0o600, b"new user", "alice")[0] == 8
        board.restart()
        for token, value in stored.items():
            assert board.retrieve(token)[:2] == (0, value), token
        assert {p.name: p.read_bytes() for p in board.keys_dir.glob("*.key")} == keys
        for token in (1, 2, 3):                                  # space again
            assert board.clear(token)[0] == 0
        assert board.store(0, 0o600, b"fits now", "alice")[:2] == (0, 1)
        assert board.retrieve(1, "alice")[:2] == (0, b"fits now")
    finally:
        board.stop()
        subprocess.run(["umount", "-l", str(board.data)], check=False)
