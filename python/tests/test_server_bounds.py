"""The Python server on plain sockets: records wait for the client id; oversized, nameless or silent peers are cut."""

import contextlib
import socket
import struct

import msgpack

from conftest import WAIT, Events

import ksxcomms


def frame(payload):
    return struct.pack(">I", len(payload)) + payload


def record(**values):
    return frame(msgpack.packb(values, use_bin_type=True))


def closed_by_peer(sock):
    sock.settimeout(WAIT)
    try:
        return sock.recv(1) == b""
    except ConnectionResetError:
        return True


def test_early_records_wait_for_the_id_and_bounds_close_connections(homes):
    events = Events()
    home = homes("bounds")
    with ksxcomms.Server("Svc", "Dom", service_file=home.service_file, max_packet=1000,
                         on_record=events("record"), on_connect=events("connect"),
                         on_disconnect=events("disconnect")) as server:
        talker = socket.create_connection(server.address)
        talker.sendall(record(n=1) + frame(b"\xc1") + record(n=2) + frame(b"")
                       + record(KesSocketClientIdField="talker") + record(_CKesSockEnd_KeepAlive_="True")
                       + record(n=3))
        assert events.next("connect") == ("talker",)
        assert [events.next("record") for _ in range(3)] == [("talker", {"n": n}) for n in (1, 2, 3)]

        silent = socket.create_connection(server.address)   # never sends its id
        idle = socket.create_connection(server.address)     # identifies itself, then says nothing
        idle.sendall(record(KesSocketClientIdField="idle"))
        assert events.next("connect") == ("idle",)
        assert sorted(server.clients()) == ["idle", "talker"]

        # One more than the limit: cut at once, though the bytes that follow keep the talker heard from.
        talker.sendall(struct.pack(">I", 1001))
        for _ in range(1000):
            if first := events.next("disconnect", 0.05):
                break
            with contextlib.suppress(OSError):
                talker.send(b"x")
        assert first == ("talker",)
        assert events.next("disconnect") == ("idle",)
        assert all(closed_by_peer(sock) for sock in (talker, silent, idle))
        assert server.clients() == []
        assert events.queue.empty()  # the silent connection never reached the host
