import os

import pytest

from zelsupport.board import Board, write_accounts


@pytest.fixture
def board(board_root):
    """The simulated board with the crypto device; started by the test."""
    b = Board(board_root / "board")
    yield b
    b.stop()


@pytest.fixture
def running(board):
    """The simulated board with the service up."""
    return board.start()


@pytest.fixture
def no_device(board_root):
    """A board whose crypto device is missing."""
    b = Board(board_root / "board", device=False)
    yield b
    b.stop()


@pytest.fixture
def accounts(board_root):
    if os.geteuid() != 0:
        pytest.skip("needs root: clients run under several real user ids")
    return write_accounts(board_root / "accounts")


@pytest.fixture
def multiuser(board_root, accounts):
    """The board with the test accounts in its account database, running."""
    b = Board(board_root / "board", accounts=accounts)
    b.start()
    yield b
    b.stop()
