"""Permissions with real user ids and groups: alice owns the items; bob
shares her group "team", dave has "team" as primary group, carol shares
nothing, and root is not special. (A user id without an account cannot
even connect: the bus daemon refuses it.)"""
import pytest

from zelsupport.board import word

ALICE = 2001
CALLERS = ["alice", "bob", "dave", "carol", (0, 0)]

# mode: (callers allowed to read, callers allowed to write)
MODES = {
    0o600: ({"alice"}, {"alice"}),
    0o640: ({"alice", "bob", "dave"}, {"alice"}),
    0o660: ({"alice", "bob", "dave"}, {"alice", "bob", "dave"}),
    0o604: (set(CALLERS), {"alice"}),
    0o606: (set(CALLERS), set(CALLERS)),
    0o400: ({"alice"}, set()),
    0o040: ({"alice", "bob", "dave"}, set()),  # the owner through the group
    0o002: (set(), set(CALLERS)),
}


def label(caller):
    return caller if isinstance(caller, str) else str(caller[0])


@pytest.mark.parametrize("mode", sorted(MODES), ids=lambda m: f"{m:04o}")
def test_read_and_write_by_owner_group_and_others(multiuser, mode):
    readers, writers = MODES[mode]
    token = 0x100 + mode
    current = b"alice's"
    assert multiuser.store(token, mode, current, user="alice")[:2] == (0, token)
    for caller in CALLERS:
        status, data, _ = multiuser.retrieve(token, user=caller)
        expected = 0 if caller in readers else 4
        assert status == expected, (label(caller), "read")
        if status == 0:
            assert data == current
        written = b"by " + label(caller).encode()
        status, _, answer = multiuser.store(token, mode, written, user=caller)
        expected = 0 if caller in writers else 4
        assert answer == bytes([expected, 0, 0, 0]) + (word(token) if expected == 0 else bytes(4)), \
            (label(caller), "write")
        if expected == 0:
            current = written
    # Whoever wrote, the item keeps its owner and her key.
    header = (multiuser.items_dir / f"{token:08X}.data").read_bytes()[:16]
    assert int.from_bytes(header[4:8], "little") == ALICE
    assert int.from_bytes(header[8:12], "little") == mode
    assert sorted(p.name for p in multiuser.keys_dir.iterdir()) == [".CRC", "2001.key"]


def test_only_the_owner_changes_the_mode(multiuser):
    assert multiuser.store(0x10, 0o666, b"shared", user="alice")[0] == 0
    assert multiuser.store(0x10, 0o660, b"x", user="carol")[2] == bytes([6, 0, 0, 0, 0, 0, 0, 0])
    assert multiuser.store(0x10, 0o600, b"x", user="bob")[2] == bytes([6, 0, 0, 0, 0, 0, 0, 0])
    assert multiuser.retrieve(0x10, user="alice")[1] == b"shared"
    assert multiuser.store(0x10, 0o600, b"mine again", user="alice")[0] == 0
    assert multiuser.retrieve(0x10, user="bob")[0] == 4


def test_clear_needs_write_permission_and_renews_the_owners_key(multiuser):
    assert multiuser.store(0x20, 0o640, b"readable", user="alice")[0] == 0
    assert multiuser.store(0x21, 0o660, b"writable", user="alice")[0] == 0
    key = multiuser.keys_dir / "2001.key"
    first_key = key.read_bytes()
    for caller in ("bob", "carol", (0, 0)):
        assert multiuser.clear(0x20, user=caller)[1] == bytes([4, 0, 0, 0])
    assert multiuser.clear(0x21, user="carol")[1] == bytes([4, 0, 0, 0])
    assert multiuser.clear(0x21, user="bob")[1] == bytes(4)
    assert key.read_bytes() == first_key  # alice still has an item
    assert multiuser.clear(0x20, user="alice")[1] == bytes(4)
    assert key.read_bytes() != first_key
    assert (multiuser.backup_dir / "2001.key").read_bytes() == key.read_bytes()
