"""The bytes on the wire: records, TCP frames and the four small records of
discovery and greeting.

A record is an ordered set of named values. On TCP each record travels as a
4-byte big-endian length followed by the record encoded as one MessagePack
map; a multicast datagram holds one encoded record with no length in front.
Values map to Python types both ways: ``int`` (signed 64-bit), ``str``,
``float`` (64-bit) and ``bytes``.
"""

from __future__ import annotations

import struct
from typing import Dict, Iterator, List, Mapping, Optional, Union

import msgpack

Value = Union[int, str, float, bytes]
Record = Dict[str, Value]

#: Bytes of the length in front of every TCP record.
HEADER_LENGTH = 4
#: The largest record a receiver accepts by default (64 MiB), as on the C++ side.
DEFAULT_MAX_PACKET = 64 * 1024 * 1024
#: The most values a record holds, either way, as on the C++ side: a value
#: costs a receiver far more memory than its bytes on the wire.
MOST_VALUES = 262144

# Value names of the discovery and greeting records.
DATA_FIELD = "KesSockInternalDataField"
ADDRESS_REQUEST = "KesSockAddressRequest"
ADDRESS_REPLY = "KesSockAddressReply"
SERVICE_NAME = "KesSockInternalServiceName"
DOMAIN_NAME = "KesSockInternalDomainName"
ADDRESS = "KesSockInternalAddress"
PORT = "KesSockInternalPort"
CLIENT_ID = "KesSocketClientIdField"
KEEP_ALIVE = "_CKesSockEnd_KeepAlive_"

_INT64_MIN = -(1 << 63)
_INT64_MAX = (1 << 63) - 1


class DecodeError(ValueError):
    """Bytes that are not one well-formed record."""


class FramingError(ValueError):
    """A stream whose framing cannot be trusted any more."""


def _check_value(name: str, value: object) -> None:
    if not isinstance(name, str):
        raise TypeError("a value name must be a str, not %s" % type(name).__name__)
    if "\0" in name:
        raise ValueError("a value name cannot hold a NUL character: %r" % name)
    # bool is an int to Python but has no place in a record.
    if isinstance(value, bool) or not isinstance(value, (int, str, float, bytes, bytearray, memoryview)):
        raise TypeError("value %r of %s: records hold int, str, float or bytes" % (value, name))
    if isinstance(value, int) and not _INT64_MIN <= value <= _INT64_MAX:
        raise ValueError("value of %s does not fit a signed 64-bit integer" % name)


def encode(record: Mapping[str, Value]) -> bytes:
    """The record as one MessagePack map, values in the mapping's order.

    Texts that came from a peer as bytes that are not UTF-8 go back as the
    same bytes (they are decoded with ``surrogateescape``).
    """
    if len(record) > MOST_VALUES:
        raise ValueError("a record holds at most %d values, not %d" % (MOST_VALUES, len(record)))
    packer = msgpack.Packer(use_bin_type=True, use_single_float=False, unicode_errors="surrogateescape")
    parts: List[bytes] = [packer.pack_map_header(len(record))]
    for name, value in record.items():
        _check_value(name, value)
        if isinstance(value, (bytearray, memoryview)):
            value = bytes(value)
        parts.append(packer.pack(name))
        parts.append(packer.pack(value))
    return b"".join(parts)


def _pairs(pairs: List[tuple]) -> Record:
    record: Record = {}
    for name, value in pairs:
        if not isinstance(name, str) or "\0" in name:
            raise DecodeError("a value name is not a text")
        if isinstance(value, bool) or not isinstance(value, (int, str, float, bytes)):
            raise DecodeError("value of %s is of a type records do not hold" % name)
        if isinstance(value, int) and value > _INT64_MAX:
            raise DecodeError("value of %s is above the largest signed 64-bit integer" % name)
        # A repeated name: the first value counts, as for the C++ lookup.
        record.setdefault(name, value)
    return record


def decode(data: bytes) -> Record:
    """The record encoded in ``data`` (one map, nothing after it).

    Refuses, with :class:`DecodeError`, what the C++ side refuses: any other
    type than int, str, float64 and bin as a value, a key that is not a str,
    more than :data:`MOST_VALUES` values, truncation and trailing bytes.
    """
    try:
        unpacker = msgpack.Unpacker(raw=False, object_pairs_hook=_pairs, strict_map_key=True,
                                    unicode_errors="surrogateescape", max_buffer_size=max(len(data), 1),
                                    max_map_len=MOST_VALUES)
        unpacker.feed(data)
        record = unpacker.unpack()
        try:
            unpacker.unpack()
        except msgpack.OutOfData:
            pass
        else:
            raise DecodeError("trailing bytes after the map")
    except DecodeError:
        raise
    except (msgpack.OutOfData, ValueError, TypeError, msgpack.ExtraData, msgpack.FormatError,
            msgpack.StackError) as error:
        raise DecodeError(str(error) or type(error).__name__) from None
    if not isinstance(record, dict):
        raise DecodeError("the encoding is not a map")
    _refuse_float32(data)
    return record


def _refuse_float32(data: bytes) -> None:
    """float32 values decode to float in msgpack; the C++ side refuses them."""
    # Walk only when a float32 lead byte could be present: cheap for most
    # records. The map is already known to be flat and well formed.
    if b"\xca" not in data:
        return
    lead = data[0]
    if lead & 0xF0 == 0x80:
        count, position = lead & 0x0F, 1
    elif lead == 0xDE:
        count, position = struct.unpack_from(">H", data, 1)[0], 3
    else:
        count, position = struct.unpack_from(">I", data, 1)[0], 5
    for _ in range(2 * count):
        lead = data[position]
        if lead == 0xCA:
            raise DecodeError("float32 value")
        position += _item_length(data, position)


def _item_length(data: bytes, position: int) -> int:
    """Length of the scalar item at ``position`` (already known to be valid)."""
    lead = data[position]
    if lead <= 0x7F or lead >= 0xE0:
        return 1
    if lead & 0xE0 == 0xA0:
        return 1 + (lead & 0x1F)
    fixed = {0xCC: 2, 0xCD: 3, 0xCE: 5, 0xCF: 9, 0xD0: 2, 0xD1: 3, 0xD2: 5, 0xD3: 9, 0xCA: 5, 0xCB: 9}
    if lead in fixed:
        return fixed[lead]
    sized = {0xD9: 1, 0xDA: 2, 0xDB: 4, 0xC4: 1, 0xC5: 2, 0xC6: 4}
    width = sized[lead]
    length = int.from_bytes(data[position + 1:position + 1 + width], "big")
    return 1 + width + length


def frame(record: Mapping[str, Value]) -> bytes:
    """The record as it travels on TCP: its length (4 bytes, big-endian) and its encoding."""
    body = encode(record)
    if len(body) > 0xFFFFFFFF:
        raise ValueError("a record of %d bytes cannot be framed" % len(body))
    return struct.pack(">I", len(body)) + body


class FrameSplitter:
    """Splits a TCP byte stream into record encodings.

    Feed it whatever a read returned; it yields every complete payload and
    keeps an incomplete tail for the next read. A header that declares more
    than ``max_packet`` bytes raises :class:`FramingError` as soon as its four
    bytes are in, so a peer cannot make the receiver hold more.
    """

    def __init__(self, max_packet: int = DEFAULT_MAX_PACKET) -> None:
        self.max_packet = max_packet
        self._pending = bytearray()

    def feed(self, data: bytes) -> Iterator[bytes]:
        self._pending += data
        offset = 0
        try:
            while len(self._pending) - offset >= HEADER_LENGTH:
                (length,) = struct.unpack_from(">I", self._pending, offset)
                if length > self.max_packet:
                    raise FramingError("a packet declares %d bytes, more than the limit of %d"
                                       % (length, self.max_packet))
                end = offset + HEADER_LENGTH + length
                if end > len(self._pending):
                    break
                yield bytes(self._pending[offset + HEADER_LENGTH:end])
                offset = end
        finally:
            del self._pending[:offset]

    @property
    def pending(self) -> int:
        """Bytes of an incomplete packet kept for the next read."""
        return len(self._pending)


def address_request(service: str, domain: str) -> Record:
    """The record a client multicasts to ask where a service is served."""
    return {DATA_FIELD: DATA_FIELD, ADDRESS_REQUEST: ADDRESS_REQUEST, SERVICE_NAME: service, DOMAIN_NAME: domain}


def address_reply(service: str, domain: str, address: str, port: int) -> Record:
    """The record a server multicasts to answer a request for its service."""
    return {DATA_FIELD: DATA_FIELD, ADDRESS_REPLY: ADDRESS_REPLY, SERVICE_NAME: service, DOMAIN_NAME: domain,
            ADDRESS: address, PORT: port}


def greeting(client_id: str) -> Record:
    """The first record of every connection: the client's id."""
    return {CLIENT_ID: client_id}


def keep_alive() -> Record:
    """The record a connected client sends every 10 s (scaled)."""
    return {KEEP_ALIVE: "True"}


def reply_endpoint(record: Mapping[str, Value]) -> Optional[tuple]:
    """(service, domain, address, port) of an address reply, or None."""
    if ADDRESS_REPLY not in record:
        return None
    values = (record.get(SERVICE_NAME), record.get(DOMAIN_NAME), record.get(ADDRESS), record.get(PORT))
    if not (isinstance(values[0], str) and isinstance(values[1], str) and isinstance(values[2], str)
            and isinstance(values[3], int) and not isinstance(values[3], bool)):
        return None
    return values
