"""The private bus that every bus test stands on: real policy, and no daemon
left behind whatever way the test process ends."""
import os
import subprocess
import sys
import textwrap
import time

from zelsupport import paths
from zelsupport.bus import PrivateBus


def _alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    # A zombie is gone for our purposes.
    with open(f"/proc/{pid}/stat") as stat:
        return stat.read().split(")")[-1].split()[0] != "Z"


def test_bus_answers_and_applies_the_board_policy(system_bus):
    env = system_bus.env()
    owner = subprocess.run(
        ["gdbus", "call", "--system", "--dest", "org.freedesktop.DBus", "--object-path",
         "/org/freedesktop/DBus", "--method", "org.freedesktop.DBus.GetNameOwner",
         "org.freedesktop.DBus"], env=env, capture_output=True, text=True, timeout=30)
    assert owner.returncode == 0, owner.stderr
    # Default deny: nobody may own an arbitrary name.
    taken = subprocess.run(
        ["gdbus", "call", "--system", "--dest", "org.freedesktop.DBus", "--object-path",
         "/org/freedesktop/DBus", "--method", "org.freedesktop.DBus.RequestName",
         "com.example.Anything", "4"], env=env, capture_output=True, text=True, timeout=30)
    assert taken.returncode != 0
    assert "AccessDenied" in taken.stderr


def test_daemon_dies_with_a_test_process_that_crashes(tmp_path):
    script = textwrap.dedent(f"""
        import os, sys
        sys.path.insert(0, {str(paths.SOURCE_DIR / "tests" / "support" / "python")!r})
        from zelsupport.bus import PrivateBus
        bus = PrivateBus()
        bus.start()
        print(bus.process.pid, flush=True)
        os._exit(3)   # no clean-up runs
    """)
    child = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                           timeout=30)
    assert child.returncode == 3, child.stderr
    daemon = int(child.stdout.strip())
    deadline = time.monotonic() + 5
    while _alive(daemon) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not _alive(daemon)


def test_restart_keeps_the_address():
    with PrivateBus() as bus:
        first = bus.address
        bus.stop()
        bus.start()
        assert bus.address == first
        probe = subprocess.run(["busctl", "--system", "list"], env=bus.env(),
                               capture_output=True, text=True, timeout=30)
        assert probe.returncode == 0, probe.stderr
