"""Hostile local users against the security service in the board sandbox,
with real user ids over a real bus: one table of attacks. Other users must
stay served, nothing acknowledged may be lost, nothing outside the stores
touched. Each attack prints its figures (pytest -s)."""
import os

import pytest

from zelsupport import store_attacks

ATTACKS = (  # name, attack, size of the tmpfs /mnt/DATA
    ("fill", store_attacks.fill, "3m"),
    ("links-in-each-store", store_attacks.links, "64m"),
    ("foreign-owned-store-directory", store_attacks.unsafe_directory("foreign"), "64m"),
    ("linked-store-directory", store_attacks.unsafe_directory("link"), "64m"),
)


@pytest.mark.parametrize("name, attack, data_size", ATTACKS, ids=[a[0] for a in ATTACKS])
def test_other_users_stay_served(board_root, name, attack, data_size):
    if os.geteuid() != 0:
        pytest.skip("needs root: attackers and victims run under real user ids")
    figures, problems = store_attacks.run(board_root, attack, data_size)
    print(f"\n{name}: {figures}")
    assert not problems, (problems, figures)
