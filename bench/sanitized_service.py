"""What the benchmarks that drive the test build's service share: the test
support on the module path, the service of build/test with its sanitizers
set as the test command runs it (ZEL_BUILD_DIR names another build), root
checked, and a scratch folder the service's other users can enter.
Imported first, before zelsupport."""
import os
import sys
import tempfile
from pathlib import Path

TOP = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(TOP / "tests" / "support" / "python"))
os.environ.setdefault("ZEL_BUILD_DIR", str(TOP / "build" / "test"))
os.environ.setdefault("ASAN_OPTIONS", "detect_leaks=1:abort_on_error=0:strict_string_checks=1")
os.environ.setdefault("LSAN_OPTIONS", "print_suppressions=0")


def require_root(why):
    if os.geteuid() != 0:
        raise SystemExit(f"run as root: {why}")


def scratch(prefix):
    root = Path(tempfile.mkdtemp(prefix=prefix))
    os.chmod(root, 0o755)
    return root
