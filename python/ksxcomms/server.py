"""A server of one service in one domain.

It binds the address and port of a fixed entry (``DYNAMIC: NO``) for its
service and domain in the service file, or else a port the system chooses on
the host's first address; accepts connections; files each connection under
the client id of its first record; answers multicast address requests for its
service and domain; and sends to one client or to all. It reads the service
file but never writes it: a dynamic Python server is found over multicast.

Bounds as on the C++ side: a connection that sends no client id within 30 s
(scaled) or, once identified, nothing (not even a keep-alive) for 35 s
(scaled) is closed; so is one whose frame declares more than the packet limit
or that does not take a frame within the send deadline.
"""

from __future__ import annotations

import socket
import threading
import time
from typing import Callable, Dict, List, Optional, Tuple

from . import servicefile, timing, wire
from ._net import Connection, MulticastChannel, host_addresses, tune_connection

RecordHandler = Callable[[str, wire.Record], None]
ClientNotice = Callable[[str], None]


class _Peer:
    """What the server knows of one connection."""

    def __init__(self, connection: Connection) -> None:
        self.connection = connection
        self.accepted = time.monotonic()
        self.client_id: Optional[str] = None
        self.filed = False  # in the client table (its id was not taken already)
        self.early: List[wire.Record] = []


class Server:
    """Serves ``service`` in ``domain``.

    ``on_record(client_id, record)`` receives every record of an identified
    client except keep-alives (records of one connection in the order sent;
    records sent before the client id are held and delivered after it);
    ``on_connect(client_id)`` and ``on_disconnect(client_id)`` each client's
    arrival and departure. Call :meth:`start`; :meth:`stop` closes everything.
    """

    def __init__(self, service: str, domain: str, *, on_record: Optional[RecordHandler] = None,
                 on_connect: Optional[ClientNotice] = None, on_disconnect: Optional[ClientNotice] = None,
                 service_file: Optional[str] = None, max_packet: int = wire.DEFAULT_MAX_PACKET,
                 send_deadline: float = timing.SEND_DEADLINE) -> None:
        self.service = service
        self.domain = domain
        self.service_file = service_file
        self.max_packet = max_packet
        self.send_deadline = send_deadline
        self._on_record = on_record
        self._on_connect = on_connect
        self._on_disconnect = on_disconnect
        self._lock = threading.Lock()
        self._peers: Dict[Connection, _Peer] = {}
        self._clients: Dict[str, _Peer] = {}
        self._stopping = threading.Event()
        self._listener: Optional[socket.socket] = None
        self._channel: Optional[MulticastChannel] = None
        self._threads: List[threading.Thread] = []
        #: (address, port) where the server listens, once started.
        self.address: Optional[Tuple[str, int]] = None
        #: Whether the address comes from a fixed entry of the service file.
        self.fixed = False

    # ---- start and stop ----------------------------------------------------

    def start(self) -> Tuple[str, int]:
        """Binds, listens, joins the discovery group; returns (address, port)."""
        try:
            entries: Optional[servicefile.ServiceFile] = servicefile.ServiceFile(self.service_file)
        except OSError:
            entries = None
        entry = entries.find(self.domain, self.service) if entries else None
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if entry and not entry.dynamic:
            listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            listener.bind((entry.address, entry.port))
            self.fixed = True
        else:
            listener.bind((host_addresses()[0], 0))
        listener.listen(100)
        self._listener = listener
        bound = listener.getsockname()
        self.address = (entry.address if self.fixed and entry else bound[0], bound[1])
        group = entries.multicast() if entries else None
        if group:
            self._channel = MulticastChannel(group.address, group.port, self._heard)
        for target in (self._accept, self._reap):
            thread = threading.Thread(target=target, name="ksxcomms-server", daemon=True)
            thread.start()
            self._threads.append(thread)
        return self.address

    def stop(self) -> None:
        """Stops accepting and answering, closes every connection (each
        client sees the end and reconnects when the service is back)."""
        self._stopping.set()
        if self._listener:
            try:
                self._listener.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        for thread in self._threads:
            thread.join()
        if self._listener:
            self._listener.close()
        if self._channel:
            self._channel.close()
        with self._lock:
            connections = list(self._peers)
        for connection in connections:
            connection.close()
            connection.join(2.0)

    def __enter__(self) -> "Server":
        self.start()
        return self

    def __exit__(self, *_: object) -> None:
        self.stop()

    # ---- sending -----------------------------------------------------------

    def clients(self) -> List[str]:
        """The ids of the identified clients."""
        with self._lock:
            return sorted(self._clients)

    def send(self, client_id: str, record: wire.Record) -> bool:
        """Sends one record to one client; False when no client has that id
        or the frame was not taken within the send deadline (that connection
        is then closed)."""
        with self._lock:
            peer = self._clients.get(client_id)
        return peer is not None and peer.connection.send(record)

    def broadcast(self, record: wire.Record) -> bool:
        """Sends one record to every identified client; True only if every
        one took it."""
        with self._lock:
            peers = list(self._clients.values())
        results = [peer.connection.send(record) for peer in peers]
        return all(results)

    # ---- threads -----------------------------------------------------------

    def _accept(self) -> None:
        assert self._listener is not None
        while not self._stopping.is_set():
            try:
                sock, _ = self._listener.accept()
            except OSError:
                if self._stopping.is_set():
                    return
                time.sleep(0.1)  # e.g. out of descriptors: never spin
                continue
            try:
                tune_connection(sock)
                connection = Connection(sock, self._received, self._closed, self.max_packet, self.send_deadline)
            except OSError:
                sock.close()
                continue
            with self._lock:
                self._peers[connection] = _Peer(connection)
            connection.start()

    def _reap(self) -> None:
        """Closes connections past the identify deadline or the idle limit."""
        while not self._stopping.wait(min(1.0, timing.scaled(1.0))):
            now = time.monotonic()
            with self._lock:
                peers = list(self._peers.values())
            for peer in peers:
                if peer.client_id is None and now - peer.accepted > timing.scaled(timing.IDENTIFY_DEADLINE):
                    peer.connection.shutdown()
                elif peer.client_id is not None and \
                        now - peer.connection.last_heard > timing.scaled(timing.IDLE_LIMIT):
                    peer.connection.shutdown()

    def _heard(self, record: wire.Record) -> None:
        """A datagram of the group: answers a request for this service."""
        if wire.ADDRESS_REPLY in record or wire.ADDRESS_REQUEST not in record:
            return
        if record.get(wire.SERVICE_NAME) != self.service or record.get(wire.DOMAIN_NAME) != self.domain:
            return
        if self._channel and self.address:
            self._channel.send(wire.address_reply(self.service, self.domain, *self.address))

    def _received(self, connection: Connection, record: wire.Record) -> None:
        with self._lock:
            peer = self._peers.get(connection)
        if peer is None:
            return
        if peer.client_id is None:
            client_id = record.get(wire.CLIENT_ID)
            if not isinstance(client_id, str):
                peer.early.append(record)
                if len(peer.early) > timing.EARLY_RECORDS:
                    connection.shutdown()  # too much before the client id
                return
            self._identify(peer, client_id)
            return
        if wire.KEEP_ALIVE in record:
            return
        if self._on_record:
            self._on_record(peer.client_id, record)

    def _identify(self, peer: _Peer, client_id: str) -> None:
        with self._lock:
            peer.client_id = client_id
            # An id already in use: the connection stays, unfiled (it cannot
            # be sent to by id), as on the C++ side.
            if client_id not in self._clients:
                self._clients[client_id] = peer
                peer.filed = True
            early, peer.early = peer.early, []
        if peer.filed and self._on_connect:
            self._on_connect(client_id)
        for record in early:
            if wire.KEEP_ALIVE not in record and self._on_record:
                self._on_record(client_id, record)

    def _closed(self, connection: Connection) -> None:
        with self._lock:
            peer = self._peers.pop(connection, None)
            if peer is None:
                return
            if peer.filed and self._clients.get(peer.client_id or "") is peer:
                del self._clients[peer.client_id or ""]
        if peer.filed and self._on_disconnect and peer.client_id is not None:
            self._on_disconnect(peer.client_id)
