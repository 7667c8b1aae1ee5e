"""Reading the service file, ``$KSX_HOME/etc/ostravine/ServiceData.cfg``.

The same grammar as the C++ reader: entries of the clauses ``SERVICE:``,
``DOMAIN:``, ``ADDRESS:``, ``PORT:`` and optionally ``SERVERNAME:`` and
``DYNAMIC:``, in that order; keywords in any case; blanks and line feeds
separate words; ``##`` or ``--`` at the start of a word begins a comment that
runs to the end of the line. A syntax error anywhere makes the whole file read
as empty. This module only reads: servers of the C++ library write the file.
"""

from __future__ import annotations

import errno
import fcntl
import os
import re
import socket
import stat
from dataclasses import dataclass
from typing import Dict, List, Optional, Tuple

#: The domain under which entries written with ``ANY_KES_DOMAIN`` are filed.
ANY_DOMAIN = "ANY_OSTRAVINE_DOMAIN"
#: The service whose entry gives the multicast group and port of discovery.
MULTICAST_SERVICE = "MulticastService"

_KEYWORDS = ("SERVERNAME:", "DYNAMIC:", "SERVICE:", "ADDRESS:", "PORT:", "DOMAIN:", "ANY_KES_DOMAIN")
_NUMBER = re.compile(rb"[0-9]+\Z")
_ADDRESS = re.compile(rb"[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+\Z")
_INT32_MAX = 2**31 - 1


@dataclass(frozen=True)
class Entry:
    """One entry of the service file."""

    service: str
    domain: str
    address: str  #: dotted IPv4 address, as the C++ side converts it
    port: int
    server_name: Optional[str] = None
    dynamic: bool = True


class SyntaxErrorInFile(ValueError):
    """The file does not follow the grammar; it reads as empty."""

    def __init__(self, line: int) -> None:
        super().__init__("syntax error on line %d" % line)
        self.line = line


def home() -> str:
    """The installation home: ``KSX_HOME``, else ``/opt/ksx``."""
    return os.environ.get("KSX_HOME") or "/opt/ksx"


def default_path() -> str:
    """The installation's service file."""
    return os.path.join(home(), "etc", "ostravine", "ServiceData.cfg")


def _tokens(text: bytes) -> List[Tuple[str, object, int]]:
    """(kind, value, line) of every word; kinds are the keywords, 'number',
    'address' and 'string'."""
    tokens: List[Tuple[str, object, int]] = []
    line = 1
    position = 0
    length = len(text)
    while position < length:
        byte = text[position]
        if byte in b" \t\r":
            position += 1
            continue
        if byte == 0x0A:
            line += 1
            position += 1
            continue
        if text.startswith(b"##", position) or text.startswith(b"--", position):
            end = text.find(b"\n", position)
            position = length if end < 0 else end
            continue
        end = position
        while end < length and text[end] not in b" \t\r\n":
            end += 1
        word = text[position:end]
        position = end
        upper = word.upper()
        keyword = next((k for k in _KEYWORDS if upper == k.encode()), None)
        if keyword:
            tokens.append((keyword, None, line))
        elif _NUMBER.match(word):
            number = int(word)
            # Too large for a signed 32-bit integer: -1, as the C++ reader does.
            tokens.append(("number", number if number <= _INT32_MAX else -1, line))
        elif _ADDRESS.match(word):
            tokens.append(("address", word.decode("ascii"), line))
        else:
            tokens.append(("string", word.decode("utf-8", "surrogateescape"), line))
    tokens.append(("end", None, line))
    return tokens


def _dotted(text: str) -> str:
    """The address as the C++ reader stores it (``inet_addr``: leading zeros
    are octal, a text it cannot read gives 255.255.255.255)."""
    if text == "0.0.0.0":
        return text
    try:
        return socket.inet_ntoa(socket.inet_aton(text))
    except OSError:
        return "255.255.255.255"


class _Parser:
    def __init__(self, text: bytes) -> None:
        self.tokens = _tokens(text)
        self.index = 0

    def take(self, *kinds: str) -> object:
        kind, value, line = self.tokens[self.index]
        if kind not in kinds:
            raise SyntaxErrorInFile(line)
        self.index += 1
        return value

    def peek(self) -> str:
        return self.tokens[self.index][0]

    def entry(self) -> Optional[Entry]:
        self.take("SERVICE:")
        service = self.take("string")
        self.take("DOMAIN:")
        kind = self.peek()
        domain = self.take("string", "number", "ANY_KES_DOMAIN")
        domain = ANY_DOMAIN if kind == "ANY_KES_DOMAIN" else str(domain)
        self.take("ADDRESS:")
        address = self.take("address")
        self.take("PORT:")
        port = self.take("number")
        server_name = None
        dynamic = True
        if self.peek() == "SERVERNAME:":
            self.take("SERVERNAME:")
            server_name = self.take("string")
        if self.peek() == "DYNAMIC:":
            self.take("DYNAMIC:")
            flag = str(self.take("string")).upper()
            # Any other value keeps the entry dynamic (and is reported by the C++ reader).
            dynamic = flag != "NO"
        assert isinstance(port, int) and isinstance(address, str)
        if port < 0:  # a number too large: the entry is dropped
            return None
        return Entry(str(service), domain, _dotted(address), port & 0xFFFF, server_name, dynamic)


def parse(text: bytes) -> Dict[Tuple[str, str], Entry]:
    """The entries of a service file's text, keyed by (domain, service).

    The text ends at its first NUL byte. A later entry for the same domain and
    service replaces an earlier one. Raises :class:`SyntaxErrorInFile` when
    the text does not follow the grammar (the C++ side then reads no entry).
    """
    text = text.split(b"\0", 1)[0]
    parser = _Parser(text)
    entries: Dict[Tuple[str, str], Entry] = {}
    while True:
        entry = parser.entry()
        if entry is not None:
            entries.pop((entry.domain, entry.service), None)
            entries[(entry.domain, entry.service)] = entry
        if parser.peek() == "end":
            return entries


def _read_locked(path: str) -> bytes:
    """The file's text under a shared lock. The servers rewrite the file in
    place under an exclusive lock: a shared lock sees it before or after a
    rewrite, never half-way. Opened without waiting and read only when it is a regular file,
    as the C++ reader does: a FIFO in its place would block until some writer
    came."""
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    with open(fd, "rb") as stream:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise OSError(errno.EINVAL, "not a regular file", path)
        os.set_blocking(fd, True)
        fcntl.flock(fd, fcntl.LOCK_SH)
        try:
            return stream.read()
        finally:
            fcntl.flock(fd, fcntl.LOCK_UN)


class ServiceFile:
    """The entries of one service file, read when constructed."""

    def __init__(self, path: Optional[str] = None) -> None:
        self.path = path or default_path()
        #: The line of the syntax error that emptied the file, if any.
        self.error_line: Optional[int] = None
        self.entries: Dict[Tuple[str, str], Entry] = {}
        text = _read_locked(self.path)
        try:
            self.entries = parse(text)
        except SyntaxErrorInFile as error:
            self.error_line = error.line

    def find(self, domain: str, service: str) -> Optional[Entry]:
        """The entry for the service in the domain (exact match), or None."""
        return self.entries.get((domain, service))

    def multicast(self) -> Optional[Entry]:
        """The entry of the discovery group: service ``MulticastService``,
        written with the domain ``ANY_KES_DOMAIN``."""
        return self.find(ANY_DOMAIN, MULTICAST_SERVICE)


def find(domain: str, service: str, path: Optional[str] = None) -> Optional[Entry]:
    """The entry for the service in the domain, read afresh; None when the
    file cannot be read or has none."""
    try:
        return ServiceFile(path).find(domain, service)
    except OSError:
        return None
