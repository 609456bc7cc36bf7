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


# Faults at one named call that the spread sample may miss, each of which
# once stopped every later start: (operation, fault, call, its file).
TARGETED = (
    # A full backup partition while the new key is written into its file:
    # the empty file, which the CRC cannot see, outlived its marker.
    ("store-first-key", "enospc", "write", faults.BACKUP + "/2002.key"),
)


@pytest.mark.parametrize("name,kind,call,path", TARGETED, ids=lambda v: str(v).rpartition("/")[2])
def test_every_targeted_fault_recovers(root, name, kind, call, path):
    harness = faults.Harness(root, next(op for op in faults.OPERATIONS if op.name == name))
    harness.prepare()
    points = [p for p in harness.enumerate() if p.call == call and p.path == path]
    assert points, f"no {call} on {path}"
    outcome = harness.inject(points[0], kind)
    assert not outcome.problems, outcome.problems


def operation_kinds(operation):
    # Reading writes nothing, so a full partition cannot touch it.
    return faults.KINDS[:2] if operation.request and operation.request[0] == "RetrieveData" \
        else faults.KINDS


def test_a_full_data_partition_loses_nothing(root):
    """/mnt/DATA on a small tmpfs that another program fills: stores are
    refused with their status before anything is written, the service goes
    on serving throughout (a restart cannot make room), and every item and
    key stored before is kept."""
    board = Board(root / "board", accounts=write_accounts(root / "accounts"))
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", str(board.data)], check=True)
    try:
        board.start()
        stored = {1: b"one" * 300, 2: b"two"}
        for token, value in stored.items():
            assert board.store(token, 0o600, value)[0] == 0
        keys = {d: {p.name: p.read_bytes() for p in d.glob("*.key")}
                for d in (board.keys_dir, board.backup_dir)}
        filler = os.open(board.data / "filler", os.O_WRONLY | os.O_CREAT)
        with pytest.raises(OSError, match="No space left"):
            while os.write(filler, bytes(4096)):
                pass
        os.close(filler)

        refused = bytes([8, 1, 4, 0, 0, 0, 0, 0])
        assert board.store(4, 0o600, b"no room")[2] == refused
        assert board.store(1, 0o600, b"an overwrite")[2] == refused
        assert board.store(0, 0o600, b"a first key", "bob")[2] == refused
        for token, value in stored.items():
            assert board.retrieve(token)[:2] == (0, value), token
        assert {d: {p.name: p.read_bytes() for p in d.glob("*.key")} for d in keys} == keys
        assert "Data partition full" in board.stderr()

        (board.data / "filler").unlink()                         # space again
        status, token, _ = board.store(0, 0o600, b"fits now", "bob")
        assert (status, board.retrieve(token, "bob")[:2]) == (0, (0, b"fits now"))
        assert board.process.poll() is None                      # never stopped
        board.restart()
        assert board.retrieve(1)[:2] == (0, stored[1])
    finally:
        board.stop()
        subprocess.run(["umount", "-l", str(board.data)], check=False)
