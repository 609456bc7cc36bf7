"""/dev/vcrypto on the workstation: unmodified programs reach the host build
of the module through the sandbox's --vcrypto feature."""
import os
import subprocess

import pytest

from zelsupport import paths

SANDBOX = str(paths.SOURCE_DIR / "board" / "sandbox")


def probe():
    return str(paths.built("kernel/vcrypto/vcrypto_probe"))


def sandboxed(state, *command, stdin=None, vcrypto=True):
    options = [f"--vcrypto={state}"] if vcrypto else []
    return subprocess.run([SANDBOX, *options, "--", *command], input=stdin,
                          capture_output=True, timeout=120)


def test_sanitized_program_round_trips_and_records_survive_restarts(tmp_path):
    # The probe is an AddressSanitizer build, like every program under test.
    assert b"libasan" in subprocess.run(["ldd", probe()], capture_output=True).stdout
    state = tmp_path / "state"
    made = sandboxed(state, probe(), "keygen")
    assert made.returncode == 0, made.stderr
    record = made.stdout
    assert len(record) == 128 and record[80:] == bytes(48)
    (tmp_path / "record").write_bytes(record)
    assert (state / "master.key").stat().st_size == 32

    data = os.urandom(48000)
    # Each run is a new process: the record outlives the process that made it.
    enc = sandboxed(state, probe(), "encrypt", str(tmp_path / "record"), stdin=data)
    assert enc.returncode == 0, enc.stderr
    assert len(enc.stdout) == len(data) and enc.stdout != data
    dec = sandboxed(state, probe(), "decrypt", str(tmp_path / "record"), stdin=enc.stdout)
    assert dec.returncode == 0, dec.stderr
    assert dec.stdout == data


def test_record_of_another_device_fails_import(tmp_path):
    made = sandboxed(tmp_path / "one", probe(), "keygen")
    (tmp_path / "record").write_bytes(made.stdout)
    other = sandboxed(tmp_path / "two", probe(), "encrypt", str(tmp_path / "record"),
                      stdin=bytes(32))
    assert other.returncode == 1
    assert b"ioctl: Input/output error" in other.stderr
    log = (tmp_path / "two" / "kernel.log").read_text()
    assert "black key import failed (-5)" in log
    assert "failed to import black key" in log


PYTHON_CLIENT = r"""
import errno, fcntl, os
fd = os.open("/dev/vcrypto", os.O_RDWR)
buf = bytearray(64)
fcntl.ioctl(fd, 0x00204F03, buf)
print(buf[:32] != bytes(32), buf[32:] == bytes(32))
for cmd in (0x00204E03, 0x00004F01):
    try:
        fcntl.ioctl(fd, cmd, bytearray(64))
    except OSError as e:
        print(errno.errorcode[e.errno])
untouched = bytearray(8)
print(fcntl.ioctl(fd, 0x00204F04, untouched) == 0 and untouched == bytearray(8))
os.close(fd)
with open("/etc/hostname") as f:   # other files pass through
    print(len(f.read()) > 0)
"""


def test_plain_interpreter_gets_the_device_and_its_errors(tmp_path):
    # Python is not instrumented: the bridge serves plain programs as well.
    run = sandboxed(tmp_path, "/usr/bin/python3", "-c", PYTHON_CLIENT)
    assert run.returncode == 0, run.stderr
    assert run.stdout.decode().split() == ["True", "True", "EINVAL", "EINVAL", "True", "True"]
    log = (tmp_path / "kernel.log").read_text()
    assert "vyrna_crypto_ioctl" in log and ": bad cmd" in log
    assert ": bad data length (0)" in log


def test_without_the_feature_there_is_no_device(tmp_path):
    run = sandboxed(tmp_path, probe(), "random", "16", vcrypto=False)
    assert run.returncode == 1
    assert b"open: No such file or directory" in run.stderr


# A random-bytes ioctl held inside its copy to the caller (the buffer's page
# is missing and a userfaultfd holds the fault) while another thread closes
# the descriptor and reuses its number, for a plain file and for the device.
CLOSE_DURING_IOCTL = r"""
import ctypes, errno, fcntl, mmap, os, struct, threading
libc = ctypes.CDLL(None, use_errno=True)
uffd = libc.syscall(323, os.O_CLOEXEC)
if uffd < 0:
    raise SystemExit(print("no userfaultfd:", os.strerror(ctypes.get_errno())))
fcntl.ioctl(uffd, 0xC018AA3F, bytearray(struct.pack("QQQ", 0xAA, 0, 0)))         # API
region = mmap.mmap(-1, 8192)
start = ctypes.addressof(ctypes.c_char.from_buffer(region))
fcntl.ioctl(uffd, 0xC020AA00, bytearray(struct.pack("QQQQ", start, 8192, 1, 0)))  # REGISTER
fd = os.open("/dev/vcrypto", os.O_RDWR)
done = []
# Through ctypes, which lets go of the interpreter lock while the call waits.
worker = threading.Thread(
    target=lambda: done.append(libc.ioctl(fd, 0x10004F03, ctypes.c_void_p(start))))
worker.start()
os.read(uffd, 32)                   # the ioctl now waits in its copy
os.close(fd)
other = os.open("/etc/hostname", os.O_RDONLY)
answer = []
def plain_ioctl():
    try:
        answer.append(fcntl.ioctl(other, 0x00204F03, bytearray(64)) and "device")
    except OSError as e:
        answer.append(errno.errorcode[e.errno])
probe = threading.Thread(target=plain_ioctl)
probe.start()
probe.join(10)    # reaching the device, it would wait for the held ioctl
print(other == fd, answer[0] if answer else "device")
os.close(other)
again = os.open("/dev/vcrypto", os.O_RDWR)
os.close(again)
fcntl.ioctl(uffd, 0xC020AA04, bytearray(struct.pack("QQQq", start, 8192, 0, 0)))  # ZEROPAGE
worker.join()
probe.join()
print(again == fd, done == [0], region[:4096] != bytes(4096))
"""


def test_close_during_an_ioctl_retires_the_descriptor_at_once(tmp_path):
    run = sandboxed(tmp_path, "/usr/bin/python3", "-c", CLOSE_DURING_IOCTL)
    if run.stdout.startswith(b"no userfaultfd"):
        pytest.skip(run.stdout.decode())
    assert run.returncode == 0, run.stderr
    assert run.stdout.decode().split() == ["True", "ENOTTY", "True", "True", "True"]
