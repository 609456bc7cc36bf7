"""The board sandbox: board paths appear inside, nothing changes outside."""
import subprocess

from zelsupport import paths

SANDBOX = str(paths.SOURCE_DIR / "board" / "sandbox")


def run(*args):
    return subprocess.run([SANDBOX, *args], capture_output=True, text=True, timeout=60)


def test_partitions_appear_only_when_given(tmp_path):
    data, nor = tmp_path / "data", tmp_path / "nor"
    data.mkdir()
    nor.mkdir()
    both = run(f"--data={data}", f"--nor={nor}", "--",
               "sh", "-c", "ls /mnt; echo written > /mnt/DATA/file")
    assert both.returncode == 0, both.stderr
    assert both.stdout.split() == ["DATA", "NOR6"]
    assert (data / "file").read_text() == "written\n"

    only_nor = run(f"--nor={nor}", "--", "ls", "/mnt")
    assert only_nor.stdout.split() == ["NOR6"]


def test_command_status_passes_through_and_bad_options_are_refused(tmp_path):
    assert run("--", "sh", "-c", "exit 7").returncode == 7
    unknown = run("--no-such-feature", "--", "true")
    assert unknown.returncode == 2
    assert "unknown feature --no-such-feature" in unknown.stderr
    missing = run(f"--data={tmp_path / 'absent'}", "--", "true")
    assert missing.returncode != 0
    assert "not a directory" in missing.stderr
