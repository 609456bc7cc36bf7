"""Malformed requests, wrong argument types, many clients at once and data
near the device limit: clear statuses, nothing lost, no crash (the service
runs under AddressSanitizer and UBSan; the board checks its stderr)."""
import os
import signal
import subprocess
from concurrent.futures import ThreadPoolExecutor

import pytest

from zelsupport.board import INTERFACE, SERVICE_NAME, parse_busctl, word
from zelsupport.procwait import wait_in_poll, wait_queued

LIMIT = 261982  # the most data whose padded plaintext the device takes


def dbus_python_call(board, member, payload):
    import dbus
    connection = dbus.bus.BusConnection(board.address)
    try:
        method = connection.get_object(SERVICE_NAME, "/", introspect=False).get_dbus_method(
            member, INTERFACE)
        return bytes(method(dbus.ByteArray(payload), byte_arrays=True, timeout=120))
    finally:
        connection.close()


def test_every_malformed_length_is_refused(running):
    running.store(1, 0o600, b"kept")
    cases = [("StoreData", n, bytes([2, 0, 0, 0, 0, 0, 0, 0])) for n in range(0, 9)]
    cases += [(member, n, bytes([2, 0, 0, 0])) for member in ("RetrieveData", "ClearData")
              for n in (0, 1, 2, 3, 5, 8, 1000)]
    for member, length, expected in cases:
        payload = (word(1) + word(0o600) + bytes(1000))[:length]
        assert running.call(member, payload) == expected, (member, length)
    assert running.retrieve(1)[:2] == (0, b"kept")
    assert "Bad message (length = 0)\n" in running.stderr()
    assert "Bad message (length = 1000)\n" in running.stderr()


@pytest.mark.parametrize("member, arguments, expected", [
    ("RetrieveData", ["s", "a string"], bytes([2, 0, 0, 0])),
    ("RetrieveData", ["ai", "1", "1"], bytes([2, 0, 0, 0])),   # the right length, wrong type
    ("ClearData", ["u", "1"], bytes([2, 0, 0, 0])),
    ("ClearData", [], bytes([2, 0, 0, 0])),                    # no argument at all
    ("StoreData", ["s", "x" * 20], bytes([2, 0, 0, 0, 0, 0, 0, 0])),
    # Only the first argument counts.
    ("RetrieveData", ["ays", "4", "1", "0", "0", "0", "ignored"], bytes(4) + b"kept"),
])
def test_wrong_argument_types_are_malformed_requests(running, member, arguments, expected):
    running.store(1, 0o600, b"kept")
    out = subprocess.run(["busctl", f"--address={running.address}", "call", SERVICE_NAME, "/",
                          INTERFACE, member, *arguments], capture_output=True, text=True,
                         timeout=60)
    assert out.returncode == 0, out.stderr
    assert parse_busctl(out.stdout) == expected
    assert running.retrieve(1)[:2] == (0, b"kept")


def test_unknown_method_and_introspection(running):
    out = subprocess.run(["busctl", f"--address={running.address}", "call", SERVICE_NAME, "/",
                          INTERFACE, "Unknown"], capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == 's "Callback not found"'
    xml = subprocess.run(["busctl", f"--address={running.address}", "introspect", SERVICE_NAME,
                          "/", INTERFACE], capture_output=True, text=True, timeout=60).stdout
    for member in ("ClearData", "RetrieveData", "StoreData"):
        assert f".{member}" in xml and "ay" in xml


def test_data_near_the_device_limit(running):
    largest = bytes(i * 7 % 251 for i in range(LIMIT))
    answer = dbus_python_call(running, "StoreData", word(0) + word(0o600) + largest)
    assert answer == bytes([0, 0, 0, 0, 1, 0, 0, 0])
    assert dbus_python_call(running, "RetrieveData", word(1)) == bytes(4) + largest
    # One byte more no longer fits: refused before any key or file is touched.
    keys = sorted(p.name for p in running.keys_dir.iterdir())
    for extra in (1, 2, 100000):
        answer = dbus_python_call(running, "StoreData", word(0x99) + word(0o600) + bytes(LIMIT + extra))
        assert answer == bytes([2, 0, 0, 0, 0, 0, 0, 0])
    answer = dbus_python_call(running, "StoreData", word(0) + word(0o600) + bytes(LIMIT + 1))
    assert answer == bytes([2, 0, 0, 0, 0, 0, 0, 0])
    assert not (running.items_dir / "00000099.data").exists()
    assert sorted(p.name for p in running.keys_dir.iterdir()) == keys
    assert f"Bad message (length = {LIMIT + 9})\n" in running.stderr()
    assert running.process.poll() is None


def test_a_hundred_clients_at_once(running):
    def one(index):
        data = b"client %03d " % index + bytes([index]) * index
        status, token, _ = running.store(0, 0o600, data)
        return status, token, data

    with ThreadPoolExecutor(max_workers=100) as pool:
        results = list(pool.map(one, range(100)))
    assert [status for status, _, _ in results] == [0] * 100
    assert sorted(token for _, token, _ in results) == list(range(1, 101))
    with ThreadPoolExecutor(max_workers=100) as pool:
        back = list(pool.map(lambda r: running.retrieve(r[1]), results))
    assert [b[:2] for b in back] == [(0, data) for _, _, data in results]
    assert running.process.poll() is None


def test_a_large_answer_reaches_its_caller_even_when_the_bus_reads_slowly(running):
    """An answer larger than the socket buffer cannot be written at once; the
    service must finish writing it without waiting for another request."""
    import dbus
    from dbus.mainloop.glib import DBusGMainLoop
    from gi.repository import GLib
    loop = GLib.MainLoop()
    connection = dbus.bus.BusConnection(running.address, mainloop=DBusGMainLoop())
    method = connection.get_object(SERVICE_NAME, "/", introspect=False).get_dbus_method
    largest = bytes(range(256)) * (LIMIT // 256)
    # Also makes the service learn this caller's user id, so that it need not
    # ask the bus again below.
    assert bytes(method("StoreData", INTERFACE)(dbus.ByteArray(word(7) + word(0o600) + largest),
                                                byte_arrays=True))[0] == 0
    daemon = int(subprocess.run(
        ["busctl", f"--address={running.address}", "call", "org.freedesktop.DBus",
         "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetConnectionUnixProcessID", "s",
         "org.freedesktop.DBus"], capture_output=True, text=True, timeout=60).stdout.split()[1])
    service = running.service_pid()
    answers = []
    os.kill(service, signal.SIGSTOP)
    try:
        method("RetrieveData", INTERFACE)(
                dbus.ByteArray(word(7)), byte_arrays=True, timeout=20,
                reply_handler=lambda a: (answers.append(bytes(a)), loop.quit()),
                error_handler=lambda e: (answers.append(e), loop.quit()))
        connection.flush()
        wait_queued(service, "RetrieveData", 1)
        os.kill(daemon, signal.SIGSTOP)  # the bus stops reading
        os.kill(service, signal.SIGCONT)
        wait_in_poll(service)            # it wrote what fits and waits for room
    finally:
        os.kill(service, signal.SIGCONT)
        os.kill(daemon, signal.SIGCONT)
    loop.run()
    connection.close()
    assert answers == [bytes(4) + largest]
