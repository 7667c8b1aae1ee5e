"""Socket helpers shared by the client and the server (internal)."""

from __future__ import annotations

import array
import fcntl
import os
import select
import socket
import struct
import threading
import time
from typing import Callable, List, Optional, Tuple

from . import timing, wire

_SIOCGIFCONF = 0x8912
_SIOCGIFFLAGS = 0x8913
_IFF_UP = 0x1
_IFF_LOOPBACK = 0x8
_TCP_USER_TIMEOUT = getattr(socket, "TCP_USER_TIMEOUT", 18)


def _interface_flags() -> List[Tuple[str, str, int]]:
    """(name, IPv4 address, flags) of every interface that has an address."""
    result = []
    probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        buffer = array.array("B", b"\0" * 40 * 64)
        pointer, _ = buffer.buffer_info()
        length = struct.unpack("iL", fcntl.ioctl(probe.fileno(), _SIOCGIFCONF,
                                                 struct.pack("iL", len(buffer), pointer)))[0]
        data = buffer.tobytes()[:length]
        for offset in range(0, length, 40):
            name = data[offset:offset + 16]
            address = socket.inet_ntoa(data[offset + 20:offset + 24])
            flags = struct.unpack("H", fcntl.ioctl(probe.fileno(), _SIOCGIFFLAGS, name + b"\0" * 24)[16:18])[0]
            result.append((name.rstrip(b"\0").decode(), address, flags))
    finally:
        probe.close()
    return result


def _interfaces() -> List[Tuple[str, str]]:
    return [(name, address) for name, address, _ in _interface_flags()]


def host_addresses() -> List[str]:
    """The host's IPv4 addresses, non-loopback first: ``KSX_HOST_ADDRS``
    (comma-separated) when it names any valid address, else the interfaces
    that are up."""
    override = [a.strip() for a in os.environ.get("KSX_HOST_ADDRS", "").split(",") if a.strip()]
    valid = []
    for address in override:
        try:
            socket.inet_aton(address)
            valid.append(address)
        except OSError:
            pass
    if valid:
        return valid
    found, loopback = [], []
    for _name, address, flags in _interface_flags():
        if flags & _IFF_UP:
            (loopback if flags & _IFF_LOOPBACK else found).append(address)
    return found + loopback or ["127.0.0.1"]


def multicast_interface() -> str:
    """The address of the interface discovery uses: ``KSX_MULTICAST_IF``, an
    interface name or one of the host's addresses; else 0.0.0.0, the
    interface of the route for the group."""
    wanted = os.environ.get("KSX_MULTICAST_IF", "").strip()
    if not wanted:
        return "0.0.0.0"
    for name, address in _interfaces():
        if wanted in (name, address):
            return address
    return "0.0.0.0"


def tune_connection(sock: socket.socket) -> None:
    """Options every connection carries: no delay for small records, and
    the unacknowledged-data bound (scaled), after which the system gives the
    connection up."""
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    sock.setsockopt(socket.IPPROTO_TCP, _TCP_USER_TIMEOUT, max(1, int(timing.scaled(timing.UNACKED_LIMIT) * 1000)))


def send_all(sock: socket.socket, data: bytes, deadline: float) -> bool:
    """Writes all of ``data`` to a non-blocking socket within ``deadline``
    seconds; False when the socket did not take it in time or failed (the
    caller closes it: a frame may be half written)."""
    end = time.monotonic() + deadline
    view = memoryview(data)
    try:
        poller = select.poll()
        poller.register(sock.fileno(), select.POLLOUT)  # -1 once closed: ValueError
        while view:
            left = end - time.monotonic()
            if left <= 0:
                return False
            if not poller.poll(left * 1000):
                continue
            try:
                view = view[sock.send(view):]
            except BlockingIOError:
                continue
        return True
    except (OSError, ValueError):
        return False


class Connection:
    """One TCP connection carrying framed records, with a reader thread.

    ``on_record`` gets each decoded record, ``on_close`` is called once when
    the connection ends (by the peer, an error, broken framing or
    :meth:`close`).
    """

    def __init__(self, sock: socket.socket, on_record: Callable[["Connection", wire.Record], None],
                 on_close: Callable[["Connection"], None], max_packet: int, send_deadline: float) -> None:
        self.sock = sock
        self.peer = sock.getpeername()
        sock.setblocking(False)  # reads and sends wait in poll, sends with a deadline
        self.last_heard = time.monotonic()
        self._on_record = on_record
        self._on_close = on_close
        self._max_packet = max_packet
        self._send_deadline = send_deadline
        self._send_lock = threading.Lock()
        self._closed = threading.Event()
        self._close_once = threading.Lock()
        self._reader = threading.Thread(target=self._read, name="ksxcomms-reader", daemon=True)

    def start(self) -> None:
        self._reader.start()

    @property
    def closed(self) -> bool:
        return self._closed.is_set()

    def send(self, record: wire.Record) -> bool:
        """Sends one record; False when the connection is closed or the
        frame was not taken within the send deadline (the connection is then
        shut down)."""
        data = wire.frame(record)
        with self._send_lock:
            if self.closed:
                return False
            if send_all(self.sock, data, self._send_deadline):
                return True
        self.shutdown()
        return False

    def shutdown(self) -> None:
        """Ends the connection; the reader sees the end and closes it."""
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def close(self) -> None:
        self.shutdown()
        self._finish()

    def join(self, timeout: Optional[float] = None) -> None:
        if threading.current_thread() is not self._reader:
            self._reader.join(timeout)

    def _finish(self) -> None:
        with self._close_once:
            if self._closed.is_set():
                return
            self._closed.set()
        self._on_close(self)

    def _read(self) -> None:
        splitter = wire.FrameSplitter(self._max_packet)
        poller = select.poll()
        poller.register(self.sock.fileno(), select.POLLIN)
        try:
            while True:
                poller.poll()
                try:
                    data = self.sock.recv(65536)
                except BlockingIOError:
                    continue
                if not data:
                    break
                self.last_heard = time.monotonic()
                for payload in splitter.feed(data):
                    try:
                        record = wire.decode(payload)
                    except wire.DecodeError:
                        continue  # one bad record; the framing still holds
                    self._on_record(self, record)
        except (OSError, wire.FramingError):
            pass
        finally:
            try:
                self.sock.close()
            except OSError:
                pass
            self._finish()


class MulticastChannel:
    """The discovery group: sends datagrams to it and hands every datagram
    received from it (decoded) to ``on_record`` on a thread of its own."""

    def __init__(self, group: str, port: int, on_record: Callable[[wire.Record], None]) -> None:
        self.group = group
        self.port = port
        self._on_record = on_record
        self._send = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self._send.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 1)
        self._send.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 1)
        interface = socket.inet_aton(multicast_interface())
        self._send.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, interface)
        self._receive = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self._receive.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            self._receive.bind((group, port))
        except OSError:
            self._receive.bind(("0.0.0.0", port))
        membership = socket.inet_aton(group) + interface
        self._receive.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, membership)
        self._stopping = False
        self._thread = threading.Thread(target=self._run, name="ksxcomms-multicast", daemon=True)
        self._thread.start()

    def send(self, record: wire.Record) -> bool:
        data = wire.encode(record)
        try:
            return self._send.sendto(data, (self.group, self.port)) == len(data)
        except OSError:
            return False

    def close(self) -> None:
        self._stopping = True
        try:
            self._receive.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self._thread.join(2.0)
        self._receive.close()
        self._send.close()

    def _run(self) -> None:
        self._receive.settimeout(0.2)
        while not self._stopping:
            try:
                data = self._receive.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                return
            try:
                record = wire.decode(data)
            except wire.DecodeError:
                continue
            self._on_record(record)
