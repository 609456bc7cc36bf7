"""Running clients as other users, for tests that need several real UIDs."""
import os
import pwd

import pytest


def other_users():
    """Unprivileged accounts a root test can switch to (uid, gid, name)."""
    found = []
    for name in ("nobody", "daemon", "bin"):
        try:
            pw = pwd.getpwnam(name)
        except KeyError:
            continue
        if pw.pw_uid != 0:
            found.append((pw.pw_uid, pw.pw_gid, name))
    return found


def require_root():
    if os.geteuid() != 0:
        pytest.skip("needs root to run clients under several real user ids")


def as_user(uid, gid):
    """preexec_fn dropping a child to uid/gid with no supplementary groups."""
    def drop():
        os.setgroups([])
        os.setgid(gid)
        os.setuid(uid)
    return drop
