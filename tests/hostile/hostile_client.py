#!/usr/bin/python3
"""A client of the security service for tests/hostile, run as the uid whose
part it plays; prints one JSON value. Modes: latency CALLS TOKEN DEADLINE,
flood CONNECTIONS DEPTH, churn CONNECTIONS, big BYTES, own NAME."""
import collections
import json
import os
import sys
import time

import dbus
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

ADDRESS = os.environ["DBUS_SYSTEM_BUS_ADDRESS"]


def service(mainloop=None):
    connection = dbus.bus.BusConnection(ADDRESS, mainloop=mainloop)
    proxy = connection.get_object("com.zel.vyrna.SecurityManager", "/", introspect=False)
    return connection, dbus.Interface(proxy, "com.zel.vyrna")


def request(*words, data=b""):
    return dbus.ByteArray(b"".join(w.to_bytes(4, "little") for w in words) + data)


def outcome(answer):
    """A status byte, the library's string answer, or the bus error's name."""
    if isinstance(answer, dbus.DBusException):
        return answer.get_dbus_name()
    return f"status {answer[0]}" if isinstance(answer, bytes) else str(answer)


def latency(calls, token, deadline):
    """Seconds of each RetrieveData, one after the other."""
    proxy, times, end = service()[1], [], time.monotonic() + deadline
    while len(times) < calls and time.monotonic() < end:
        began = time.monotonic()
        proxy.RetrieveData(request(token), byte_arrays=True, timeout=120)
        times.append(time.monotonic() - began)
    return times


def flood(connections, depth):
    """depth pipelined 1-byte StoreData per connection, each answer sending
    the next, until stdin closes: the answers."""
    loop, counts = GLib.MainLoop(), collections.Counter()

    def send(proxy, token):
        def answered(answer=b"?"):
            counts[outcome(answer)] += 1
            send(proxy, token)
        proxy.StoreData(request(token, 0o600, data=b"x"), byte_arrays=True, timeout=120,
                        reply_handler=answered, error_handler=answered)

    for n in range(connections):
        proxy = service(DBusGMainLoop())[1]
        for _ in range(depth):
            send(proxy, 0x7000 + n)
    GLib.io_add_watch(0, GLib.PRIORITY_DEFAULT, GLib.IO_IN | GLib.IO_HUP, lambda *_: loop.quit())
    print("flooding", flush=True)
    loop.run()
    return counts


def churn(connections):
    counts = collections.Counter()
    for _ in range(connections):
        connection, proxy = service()
        counts[outcome(proxy.RetrieveData(request(0xDEAD), byte_arrays=True))] += 1
        connection.close()
    return counts


def big(size):
    try:
        return outcome(service()[1].StoreData(request(0, 0o600, data=bytes(size)),
                                              byte_arrays=True, timeout=120))
    except dbus.DBusException as error:
        return outcome(error)


def own(name):
    """Holds the name until stdin closes."""
    connection = dbus.bus.BusConnection(ADDRESS)
    print(connection.request_name(name, dbus.bus.NAME_FLAG_DO_NOT_QUEUE), flush=True)
    sys.stdin.read()


if __name__ == "__main__":
    mode, args = sys.argv[1], sys.argv[2:]
    arguments = args if mode == "own" else map(int, args)
    print(json.dumps(globals()[mode](*arguments)), flush=True)
