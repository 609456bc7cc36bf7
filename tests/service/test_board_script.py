"""The README's main job, scripts/board, on the programs of the test build."""
import os
import subprocess

import pexpect
import pytest

from zelsupport import paths

BOARD = str(paths.SOURCE_DIR / "scripts" / "board")


def env(state):
    return dict(os.environ, ZEL_BUILD_DIR=str(paths.BUILD_DIR), ZEL_BOARD_STATE=str(state))


def test_without_a_terminal_it_stores_retrieves_and_clears(tmp_path):
    for run in range(2):  # the state is kept: the second run starts from it
        result = subprocess.run([BOARD], stdin=subprocess.DEVNULL, capture_output=True,
                                text=True, env=env(tmp_path / "state"), timeout=120)
        assert result.returncode == 0, result.stderr
        assert result.stdout.splitlines() == [
            'StoreData (new token, mode 600, "hello from the board"): 00 00 00 00 01 00 00 00',
            "RetrieveData (token 0x00000001): 00 00 00 00 " + " ".join(
                f"{b:02X}" for b in b"hello from the board") + " [hello from the board]",
            "ClearData (token 0x00000001): 00 00 00 00",
        ]
    log = (tmp_path / "state" / "service.log").read_text()
    assert log.count("  Data [0x00000001] cleared successfully\n") == 2


def test_on_a_terminal_it_opens_the_console(tmp_path):
    child = pexpect.spawn(BOARD, env=env(tmp_path / "state"), encoding="latin-1", timeout=120,
                          echo=False)
    child.expect_exact("Or q for exit\r\n")
    child.sendline("2")
    child.sendline("7")
    child.expect_exact("03 00 00 00\r\n")
    child.sendline("q")
    child.expect(pexpect.EOF)
    child.close()
    assert child.exitstatus == 0


def test_board_runs_for_an_unprivileged_user(board_root):
    """As another user the sandbox is a user namespace: the service, the bus,
    journald and the device bridge all work there."""
    if os.geteuid() != 0:
        pytest.skip("needs root to run as another user; this run is the unprivileged case "
                    "already (the other tests)")
    root = board_root / "nobody"
    for d in ("", "data", "nor", "journal", "bus", "device"):
        (root / d).mkdir(exist_ok=True)
        os.chown(root / d, 65534, 65534)
    service = paths.built("apps/VyrnaSecurityManager/VyrnaSecurityManager")
    result = subprocess.run(
        ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
         str(paths.SOURCE_DIR / "board" / "sandbox"), f"--data={root}/data", f"--nor={root}/nor",
         f"--journal={root}/journal", f"--bus={root}/bus", f"--vcrypto={root}/device", "--",
         str(paths.SOURCE_DIR / "board" / "serve"), str(service), f"{root}/log", "--",
         "busctl", "--system", "call", "com.zel.vyrna.SecurityManager", "/", "com.zel.vyrna",
         "StoreData", "ay", "9", "0", "0", "0", "0", "128", "1", "0", "0", "65"],
        capture_output=True, text=True, timeout=120,
        env=dict(os.environ, ZEL_BUILD_DIR=str(paths.BUILD_DIR)))
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ay 8 0 0 0 0 1 0 0 0"
    assert (root / "data" / "vyrna" / ".secureStorage" / "00000001.data").stat().st_uid == 65534
