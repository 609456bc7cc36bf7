"""What the board gets installed: the systemd unit passes systemd-analyze
verify with the programs in place, its hardening scores low exposure, and
the D-Bus policy gives the service's name to root only."""
import shutil
import subprocess

import pytest

from zelsupport import paths
from zelsupport.bus import PrivateBus
from zelsupport.users import as_user, other_users, require_root

UNIT = "/usr/lib/systemd/system/vyrna-security-manager.service"


@pytest.fixture
def installed(tmp_path):
    """A root file system with our files installed and the host's units."""
    root = tmp_path / "root"
    out = subprocess.run(["cmake", "--install", str(paths.BUILD_DIR), "--prefix", "/usr"],
                         env={"DESTDIR": str(root), "PATH": "/usr/bin:/bin"},
                         capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    units = root / "usr" / "lib" / "systemd" / "system"
    for unit in paths.Path("/usr/lib/systemd/system").iterdir():
        if not (units / unit.name).exists() and not unit.is_dir():
            shutil.copy(unit, units / unit.name, follow_symlinks=False)
    return root


def test_installed_files(installed):
    for path in ("usr/sbin/VyrnaSecurityManager", "usr/bin/VyrnaSecurityTester",
                 "usr/share/dbus-1/system.d/com.zel.vyrna.SecurityManager.conf",
                 "usr/share/dbus-1/system.d/com.zel.vyrna.SecurityTester.conf",
                 "usr/lib/udev/rules.d/90-vcrypto.rules", UNIT.lstrip("/")):
        assert (installed / path).exists(), path


def test_unit_verifies_and_is_hardened(installed):
    verify = subprocess.run(["systemd-analyze", "verify", f"--root={installed}", UNIT],
                            capture_output=True, text=True, timeout=120)
    assert verify.returncode == 0 and verify.stderr == "" and verify.stdout == "", verify
    security = subprocess.run(["systemd-analyze", "security", "--offline=yes",
                               f"--root={installed}", "--threshold=20", "--no-pager", UNIT],
                              capture_output=True, text=True, timeout=120)
    assert security.returncode == 0, security.stdout + security.stderr
    unit = (installed / UNIT.lstrip("/")).read_text()
    # An internal error ends the service with status 0: it must still come back.
    assert "Restart=always" in unit and "RequiresMountsFor=/mnt/DATA /mnt/NOR6" in unit


def test_only_root_may_own_the_service_name():
    require_root()
    uid, gid, _ = other_users()[0]
    with PrivateBus(config=paths.BOARD_BUS_CONFIG) as bus:
        def request(name, preexec=None):
            return subprocess.run(
                ["gdbus", "call", "--system", "--dest", "org.freedesktop.DBus", "--object-path",
                 "/org/freedesktop/DBus", "--method", "org.freedesktop.DBus.RequestName", name, "4"],
                env=bus.env(), capture_output=True, text=True, timeout=30, preexec_fn=preexec)
        denied = request("com.zel.vyrna.SecurityManager", as_user(uid, gid))
        assert denied.returncode != 0 and "AccessDenied" in denied.stderr
        assert request("com.zel.vyrna.SecurityTester", as_user(uid, gid)).returncode == 0
        assert request("com.zel.vyrna.SecurityManager").stdout.strip() == "(uint32 1,)"
