"""Token ids: new ones, chosen ones, and ids in use after a restart."""


def test_new_and_chosen_ids(running):
    assert running.store(0, 0o600, b"first")[:2] == (0, 1)
    assert running.store(0, 0o600, b"second")[:2] == (0, 2)
    for chosen in (0xDEADBEEF, 0xFFFFFFFF):
        assert running.store(chosen, 0o600, b"chosen")[:2] == (0, chosen)
        assert (running.items_dir / f"{chosen:08X}.data").exists()
    assert running.store(0, 0o600, b"third")[:2] == (0, 3)
    assert running.retrieve(1)[:2] == (0, b"first")
    assert running.retrieve(0xDEADBEEF)[:2] == (0, b"chosen")


def test_ids_in_use_are_skipped_after_a_restart(board):
    board.start()
    for token in (1, 3, 4):
        assert board.store(token, 0o600, b"kept %d" % token)[:2] == (0, token)
    board.restart()
    assert [board.store(0, 0o600, b"new")[1] for _ in range(3)] == [2, 5, 6]
    for token in (1, 3, 4):
        assert board.retrieve(token)[:2] == (0, b"kept %d" % token)
