#!/usr/bin/python3
"""Independent MessagePack peer for the record codec tests.

Usage: msgpack_peer.py ENCODED DESCRIPTION REPACKED

Reads ENCODED with python3-msgpack (exactly one map with str keys), writes
DESCRIPTION ("entries N", then "TYPE NAME_HEX VALUE" per entry in order:
decimal int, hex of str/bin bytes, hex of the big-endian float64) and
REPACKED (the same entries packed again). Exits non-zero on anything else.
"""
import struct
import sys

import msgpack


def describe(value):
    if isinstance(value, bool) or value is None:
        raise ValueError("unexpected %r" % (value,))
    if isinstance(value, int):
        return "int", str(value)
    if isinstance(value, str):
        return "str", value.encode("utf-8", "surrogatepass").hex()
    if isinstance(value, bytes):
        return "bin", value.hex()
    if isinstance(value, float):
        return "float", struct.pack(">d", value).hex()
    raise ValueError("unexpected type %s" % type(value).__name__)


def main(encoded_path, description_path, repacked_path):
    with open(encoded_path, "rb") as f:
        data = f.read()
    # unpackb refuses trailing data; pairs keep order and repeated names.
    pairs = msgpack.unpackb(data, raw=False, object_pairs_hook=list,
                            strict_map_key=True, max_str_len=len(data),
                            max_bin_len=len(data), max_map_len=len(data))
    if not isinstance(pairs, list):
        raise ValueError("not a map")
    lines = ["entries %d" % len(pairs)]
    for name, value in pairs:
        if not isinstance(name, str):
            raise ValueError("key is not a str")
        kind, text = describe(value)
        lines.append("%s %s %s" % (kind, name.encode("utf-8").hex(), text))
    with open(description_path, "w") as f:
        f.write("\n".join(lines) + "\n")

    packer = msgpack.Packer(use_bin_type=True, use_single_float=False)
    out = [packer.pack_map_header(len(pairs))]
    for name, value in pairs:
        out.append(packer.pack(name))
        out.append(packer.pack(value))
    with open(repacked_path, "wb") as f:
        f.write(b"".join(out))


if __name__ == "__main__":
    main(*sys.argv[1:4])
