"""Python client with C++ server and C++ client with Python server, each found by service file and by multicast."""

import struct
import time

import pytest

from conftest import WAIT, Events, fixed_entry

import ksxcomms
from ksxcomms import timing

# The edges of each type: int widths and signs, texts with NUL, blanks and non-ASCII, floats, empty bytes.
EVERY_TYPE = {"Count": 7, "Below": -33, "Wide": 70000, "Big": -5_000_000_000, "Largest": 2**63 - 1,
              "Name": "pump 1 \u00e9", "Empty": "", "Nul": "a\0b", "Level": 0.5, "Tiny": -1e-300,
              "Raw": b"\x00\xff\x10", "NoBytes": b""}
WORD_FORMS = ((int, "i", str), (str, "s", lambda v: v.encode("utf-8").hex()),
              (float, "f", lambda v: struct.pack(">d", v).hex()), (bytes, "b", bytes.hex))


def typed_text(record):
    """The record in the host programs' typed words (tests/hosts/KesTypedText.h)."""
    return " ".join("%s:%s=%s" % (name, code, show(value)) for name, value in record.items()
                    for kind, code, show in WORD_FORMS if isinstance(value, kind))


def typed(record):
    """Names, types and values in order, so that 1 == 1.0 and True == 1 do not count as equal."""
    return [(name, type(value), value) for name, value in record.items()]


@pytest.mark.parametrize("finding", ["service file", "multicast"])
def test_python_client_and_cpp_server(finding, homes, daemons):
    server_home = homes("server")
    # Over multicast the client's own file has no entry for the service.
    client_file = server_home.service_file if finding == "service file" else homes("client").service_file
    events = Events()
    client = ksxcomms.Client("Echo", "Lab", "py-1", service_file=client_file, on_record=events("record"),
                             on_connect=events("connect"), on_disconnect=events("disconnect"))

    def serve():
        server = daemons("ksx_e2e_server", ["Echo", "Lab"], server_home)
        _, port, address = server.wait_for("LISTENING ").split()
        return server, (address, int(port))

    def joined(server, address):
        assert events.next("connect", WAIT * 2) == ()
        assert server.wait_for("CLIENT ") == "CLIENT py-1"
        assert client.server == address

    server, address = serve()
    with client:
        joined(server, address)
        assert client.send(EVERY_TYPE)
        assert server.wait_for("RECORD ") == "RECORD py-1 " + typed_text(EVERY_TYPE)
        (echo,) = events.next("record")
        assert typed(echo) == typed(EVERY_TYPE)
        server.write("BROADCAST to-all")
        assert server.wait_for("BROADCAST ") == "BROADCAST 1"
        assert events.next("record") == ({"News": "to-all"},)

        if finding == "service file":
            # Silent past the server's idle limit: the keep-alives hold the line.
            time.sleep(timing.scaled(timing.IDLE_LIMIT) * 1.5)
            assert client.send({"Still": "here"})
            assert server.wait_for("RECORD ") == "RECORD py-1 " + typed_text({"Still": "here"})
            assert "GONE py-1" not in server.seen

        # Killed outright: its line stays in the file until the next server replaces it.
        server.kill()
        assert events.next("disconnect") == ()
        server, address = serve()
        joined(server, address)
        again = {"After": "restart", "N": 2}
        assert client.send(again)
        assert events.next("record") == (again,)
    assert server.wait_for("GONE ") == "GONE py-1"


@pytest.mark.parametrize("finding", ["service file", "multicast"])
def test_cpp_client_and_python_server(finding, homes, daemons):
    # By file: a fixed entry the Python server binds; by multicast: no entry, a port the system chooses.
    home = homes("both", fixed_entry() if finding == "service file" else "")
    events = Events()
    received = Events()

    def echo(client_id, record):
        received("record")(client_id, record)
        server.send(client_id, record)

    def start():
        started = ksxcomms.Server("Echo", "Lab", service_file=home.service_file, on_record=echo,
                                  on_connect=events("connect"), on_disconnect=events("disconnect"))
        started.start()
        assert started.fixed == (finding == "service file")
        return started

    server = start()
    try:
        client = daemons("ksx_e2e_client", ["Echo", "Lab", "cpp-1"], home)
        assert client.wait_for("CONNECTED") == "CONNECTED"
        assert events.next("connect") == ("cpp-1",)
        assert server.clients() == ["cpp-1"]
        client.write("SERVER")
        assert client.wait_for("SERVER ") == "SERVER %s %d" % server.address

        client.write("TYPED " + typed_text(EVERY_TYPE))
        assert client.wait_for("SENT ") == "SENT 1"
        client_id, record = received.next("record")
        assert client_id == "cpp-1" and typed(record) == typed(EVERY_TYPE)
        assert client.wait_for("RECORD ") == "RECORD " + typed_text(EVERY_TYPE)

        assert server.broadcast({"News": "to-all"})
        assert client.wait_for("NEWS ") == "NEWS to-all"
        assert not server.send("nobody", {"News": "lost"})

        server.stop()
        assert client.wait_for("DISCONNECTED") == "DISCONNECTED"
        assert events.next("disconnect") == ("cpp-1",)
        server = start()
        assert client.wait_for("CONNECTED", WAIT * 2) == "CONNECTED"
        assert events.next("connect") == ("cpp-1",)
        client.write("SEND after-restart")
        assert received.next("record") == ("cpp-1", {"Text": "after-restart"})
        assert client.wait_for("RECORD ") == "RECORD " + typed_text({"Text": "after-restart"})
    finally:
        server.stop()
