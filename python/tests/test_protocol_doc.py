"""Each example of docs/protocol.md is what the host programs send, decoded by python3-msgpack (not the library)."""

import ast
import os
import re
import socket
import struct
import time

import msgpack

from conftest import SOURCE_DIR, WAIT, fixed_entry

# The record the document's frame example carries, as the client host sends it.
FRAME_RECORD = "Count:i=7 Big:i=-5000000000 Name:s=70756d70 Level:f=3fe0000000000000 Raw:b=00ff"
GROUP = ("234.5.6.7", 23456)  # the shipped multicast entry
DOC = open(os.path.join(SOURCE_DIR, "docs", "protocol.md")).read()


def doc_examples():
    pattern = re.compile(r"<!-- example: ([\w-]+) -->\s*```text\n([0-9a-f\s]*?)```\s*```python\n(.*?)```", re.S)
    return {name: (bytes.fromhex(hex_text), ast.literal_eval(decoded.strip()))
            for name, hex_text, decoded in pattern.findall(DOC)}


def read_frame(stream):
    """One frame from the connection's byte stream: (whole frame, payload)."""
    header = stream.read(4)
    payload = stream.read(struct.unpack(">I", header)[0])
    assert len(payload) == struct.unpack(">I", header)[0], "the connection ended inside a frame"
    return header + payload, payload


def pairs(payload):
    return msgpack.unpackb(payload, raw=False, object_pairs_hook=list, strict_map_key=True)


def capture_connection(homes, daemons):
    """The greeting, a record and a keep-alive from a C++ client."""
    with socket.create_server(("127.0.0.1", 0)) as listener:
        listener.settimeout(WAIT)
        client = daemons("ksx_e2e_client", ["Echo", "Lab", "node-1"],
                         homes("tcp", fixed_entry(listener.getsockname()[1])))
        connection = listener.accept()[0]
    with connection, connection.makefile("rb") as stream:
        connection.settimeout(WAIT)
        frames = {"greeting": read_frame(stream)[0]}
        client.write("TYPED " + FRAME_RECORD)
        while len(frames) < 3:
            whole, payload = read_frame(stream)
            names = [name for name, _ in pairs(payload)]
            frames["keep-alive" if names == ["_CKesSockEnd_KeepAlive_"] else "record"] = whole
    return frames


def next_datagram(sock, field):
    end = time.monotonic() + WAIT
    while time.monotonic() < end:
        data = sock.recv(65536)
        if field in [name for name, _ in pairs(data)]:
            return data
    raise AssertionError("no datagram with " + field)


def capture_discovery(homes, daemons):
    """A C++ client's address request, and a C++ server's reply to it, as the shipped group sees them."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(GROUP)
        sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, socket.inet_aton(GROUP[0]) + bytes(4))
        sock.settimeout(WAIT)
        daemons("ksx_e2e_client", ["Echo", "Lab", "node-1"], homes("asking"))
        request = next_datagram(sock, "KesSockAddressRequest")
        daemons("ksx_e2e_server", ["Echo", "Lab"], homes("serving", fixed_entry(40000)))
        return {"address-request": request, "address-reply": next_datagram(sock, "KesSockAddressReply")}


def test_a_published_line_has_the_documented_form(homes, daemons):
    home = homes("published")
    server = daemons("ksx_e2e_server", ["Echo", "Lab"], home)
    _, port, address = server.wait_for("LISTENING ").split()
    published = [line for line in open(home.service_file, newline="").read().splitlines(True)
                 if line.startswith("SERVICE: Echo ")]
    documented = re.search(r"<!-- example: dynamic-line -->\s*```text\n(.*?)\n```", DOC).group(1)
    assert published == [documented.replace("10.1.2.4", address).replace("40123", port)
                         .replace("host2", socket.gethostname()) + "\r\n"]


def test_every_example_is_what_the_library_sends(homes, daemons):
    examples = doc_examples()
    captured = capture_connection(homes, daemons)
    captured.update(capture_discovery(homes, daemons))
    assert sorted(examples) == sorted(captured)
    for name, (documented, decoded) in examples.items():
        assert captured[name].hex(" ") == documented.hex(" "), name
        framed = name not in ("address-request", "address-reply")
        payload = documented[4:] if framed else documented
        assert not framed or documented[:4] == struct.pack(">I", len(payload)), name
        assert [tuple(pair) for pair in pairs(payload)] == decoded, name


def test_the_documented_value_bound_holds_in_the_package():
    from ksxcomms import wire
    assert "up\n  to {:,} values in all".format(wire.MOST_VALUES) in DOC
    tiny = lambda count: b"\xdf" + struct.pack(">I", count) + b"\xa0" * (2 * count)  # "" : "" entries
    assert len(wire.decode(tiny(wire.MOST_VALUES))) == 1  # one name, repeated: the first value counts
    for refused in (lambda: wire.decode(tiny(wire.MOST_VALUES + 1)),
                    lambda: wire.encode({str(n): n for n in range(wire.MOST_VALUES + 1)})):
        try:
            refused()
        except ValueError:  # DecodeError is one
            continue
        raise AssertionError("a record of more values than the bound was taken")
