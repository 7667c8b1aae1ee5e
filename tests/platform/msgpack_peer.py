#!/usr/bin/python3
# Independent MessagePack peer: msgpack_peer.py ENCODED DESCRIPTION REPACKED reads
# ENCODED (one map, str keys), writes DESCRIPTION ("entries N", then "TYPE NAME_HEX
# VALUE" per entry: decimal int, hex of str/bin bytes or of the big-endian float64)
# and REPACKED (the entries packed again).
import struct
import sys

import msgpack


def describe(name, value):
    if not isinstance(name, str) or isinstance(value, bool) or value is None:
        raise ValueError("unexpected %r: %r" % (name, value))
    if isinstance(value, int):
        kind, text = "int", str(value)
    elif isinstance(value, str):
        kind, text = "str", value.encode("utf-8", "surrogatepass").hex()
    elif isinstance(value, bytes):
        kind, text = "bin", value.hex()
    elif isinstance(value, float):
        kind, text = "float", struct.pack(">d", value).hex()
    else:
        raise ValueError("unexpected type %s" % type(value).__name__)
    return "%s %s %s" % (kind, name.encode("utf-8").hex(), text)


encoded, description, repacked = sys.argv[1:4]
data = open(encoded, "rb").read()
# unpackb refuses trailing data; pairs keep order and repeated names.
pairs = msgpack.unpackb(data, raw=False, object_pairs_hook=list, strict_map_key=True,
                        max_str_len=len(data), max_bin_len=len(data), max_map_len=len(data))
if not isinstance(pairs, list):
    raise ValueError("not a map")
lines = ["entries %d" % len(pairs)] + [describe(name, value) for name, value in pairs]
open(description, "w").write("\n".join(lines) + "\n")
packer = msgpack.Packer(use_bin_type=True, use_single_float=False)
out = [packer.pack_map_header(len(pairs))]
for name, value in pairs:
    out += [packer.pack(name), packer.pack(value)]
open(repacked, "wb").write(b"".join(out))
