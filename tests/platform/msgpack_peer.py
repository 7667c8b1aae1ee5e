#!/usr/bin/python3
# Independent MessagePack peer: msgpack_peer.py ENCODED DESCRIPTION REPACKED reads
# ENCODED (one map, str keys), writes DESCRIPTION (the entries as the typed words of
# tests/hosts/KesTypedText.h: "name:i=" and the decimal int, "name:s=" or "name:b=" and
# the hex of the bytes, "name:f=" and the hex of the big-endian float64, one blank apart)
# and REPACKED (the entries packed again).
import struct
import sys

import msgpack


def describe(name, value):
    if not isinstance(name, str) or isinstance(value, bool) or value is None:
        raise ValueError("unexpected %r: %r" % (name, value))
    if isinstance(value, int):
        kind, text = "i", str(value)
    elif isinstance(value, str):
        kind, text = "s", value.encode("utf-8", "surrogatepass").hex()
    elif isinstance(value, bytes):
        kind, text = "b", value.hex()
    elif isinstance(value, float):
        kind, text = "f", struct.pack(">d", value).hex()
    else:
        raise ValueError("unexpected type %s" % type(value).__name__)
    return "%s:%s=%s" % (name, kind, text)


encoded, description, repacked = sys.argv[1:4]
data = open(encoded, "rb").read()
# unpackb refuses trailing data; pairs keep order and repeated names.
pairs = msgpack.unpackb(data, raw=False, object_pairs_hook=list, strict_map_key=True,
                        max_str_len=len(data), max_bin_len=len(data), max_map_len=len(data))
if not isinstance(pairs, list):
    raise ValueError("not a map")
words = [describe(name, value) for name, value in pairs]
open(description, "wb").write((" ".join(words) + "\n").encode("utf-8"))
packer = msgpack.Packer(use_bin_type=True, use_single_float=False)
out = [packer.pack_map_header(len(pairs))]
for name, value in pairs:
    out += [packer.pack(name), packer.pack(value)]
open(repacked, "wb").write(b"".join(out))
