"""A client of one service in one domain.

It finds its server in the service file, or, when the file has no entry, by
an address request to the multicast group; connects; sends its client id
2 s (scaled) after connecting, before any other record; sends a keep-alive
every 10 s (scaled) while connected; and reconnects, every 3 s (scaled), when
the connection is lost. Everything runs on threads of its own.
"""

from __future__ import annotations

import socket
import threading
import time
from typing import Callable, Optional, Tuple

from . import servicefile, timing, wire
from ._net import Connection, MulticastChannel, tune_connection

RecordHandler = Callable[[wire.Record], None]
Notice = Callable[[], None]


class Client:
    """Connects to the server of ``service`` in ``domain`` as ``client_id``.

    ``on_record`` receives every record the server sends (on the
    connection's reader thread; records arrive in the order sent),
    ``on_connect`` and ``on_disconnect`` each connection's start (after the
    client id went out) and end. Call :meth:`start`, then :meth:`send`;
    :meth:`stop` ends it.
    """

    def __init__(self, service: str, domain: str, client_id: str, *,
                 on_record: Optional[RecordHandler] = None, on_connect: Optional[Notice] = None,
                 on_disconnect: Optional[Notice] = None, service_file: Optional[str] = None,
                 max_packet: int = wire.DEFAULT_MAX_PACKET, send_deadline: float = timing.SEND_DEADLINE) -> None:
        self.service = service
        self.domain = domain
        self.client_id = client_id
        self.service_file = service_file
        self.max_packet = max_packet
        self.send_deadline = send_deadline
        self._on_record = on_record
        self._on_connect = on_connect
        self._on_disconnect = on_disconnect
        self._lock = threading.Lock()
        self._wake = threading.Condition(self._lock)
        self._connection: Optional[Connection] = None
        self._server: Optional[Tuple[str, int]] = None
        self._announced: Optional[Tuple[str, int]] = None
        self._channel: Optional[MulticastChannel] = None
        self._stopping = False
        self._thread = threading.Thread(target=self._run, name="ksxcomms-connect", daemon=True)

    # ---- the host's side -------------------------------------------------

    def start(self) -> None:
        """Starts the connect thread: the client connects by itself."""
        self._thread.start()

    def stop(self) -> None:
        """Closes the connection and ends the client's threads."""
        with self._lock:
            self._stopping = True
            connection = self._connection
            self._wake.notify_all()
        if connection:
            connection.close()
            connection.join(2.0)
        if self._thread.is_alive():
            self._thread.join()
        if self._channel:
            self._channel.close()

    def __enter__(self) -> "Client":
        self.start()
        return self

    def __exit__(self, *_: object) -> None:
        self.stop()

    @property
    def connected(self) -> bool:
        with self._lock:
            return self._connection is not None and not self._connection.closed

    @property
    def server(self) -> Optional[Tuple[str, int]]:
        """(address, port) of the server in use, or None."""
        with self._lock:
            return self._server if self._connection else None

    def wait_connected(self, timeout: Optional[float] = None) -> bool:
        """Waits until the client is connected; False when the time ran out."""
        end = None if timeout is None else time.monotonic() + timeout
        with self._lock:
            while not (self._connection and not self._connection.closed):
                left = None if end is None else end - time.monotonic()
                if left is not None and left <= 0:
                    return False
                self._wake.wait(left)
            return True

    def send(self, record: wire.Record) -> bool:
        """Sends one record to the server. False when the client is not
        connected (nothing is queued) or the server did not take the frame
        within the send deadline (the connection is then closed and the client
        reconnects)."""
        with self._lock:
            connection = self._connection
        return connection is not None and connection.send(record)

    # ---- the connect thread ----------------------------------------------

    def _run(self) -> None:
        while not self._stopping:
            if not self.connected:
                self._attempt()
                if not self.connected:
                    self._pause(timing.CONNECT_RETRY)
                continue
            with self._lock:
                connection = self._connection
            if self._pause(timing.KEEP_ALIVE_PERIOD) and connection is not None:
                connection.send(wire.keep_alive())

    def _pause(self, seconds: float) -> bool:
        """Waits the scaled time; False when woken before it ran out (the
        client stops, or its connection was lost)."""
        with self._lock:
            return not self._stopping and not self._wake.wait(timing.scaled(seconds))

    def _find(self) -> Optional[Tuple[str, int]]:
        """The server from the service file, else a parked address reply;
        without either, sends an address request and gives None."""
        try:
            entries = servicefile.ServiceFile(self.service_file)
        except OSError:
            entries = None
        entry = entries.find(self.domain, self.service) if entries else None
        if entry:
            return entry.address, entry.port
        with self._lock:
            announced, self._announced = self._announced, None
        if announced:
            return announced
        self._request(entries)
        return None

    def _request(self, entries: Optional[servicefile.ServiceFile]) -> None:
        if self._channel is None:
            group = entries.multicast() if entries else None
            if group is None:
                return  # no discovery without the multicast entry; tried again next time
            try:
                self._channel = MulticastChannel(group.address, group.port, self._heard)
            except OSError:
                return
        self._channel.send(wire.address_request(self.service, self.domain))

    def _heard(self, record: wire.Record) -> None:
        """A datagram of the group: keeps the first reply for this service."""
        endpoint = wire.reply_endpoint(record)
        if endpoint is None or endpoint[0] != self.service or endpoint[1] != self.domain:
            return
        with self._lock:
            # The first reply wins; none changes a server in use.
            if self._announced is None and self._connection is None:
                self._announced = (str(endpoint[2]), int(endpoint[3]))

    def _attempt(self) -> None:
        server = self._find()
        if server is None:
            return
        try:
            sock = socket.create_connection(server, timeout=timing.scaled(timing.CONNECT_RETRY) + 5)
        except OSError:
            return
        try:
            tune_connection(sock)
            connection = Connection(sock, self._received, self._lost, self.max_packet, self.send_deadline)
        except OSError:  # gone again at once
            sock.close()
            return
        connection.start()
        # The server takes the first record as the client id; nothing else is
        # sent before it, since send() sees no connection until it is out.
        greet_at = time.monotonic() + timing.scaled(timing.GREETING_DELAY)
        with self._lock:
            while not self._stopping and time.monotonic() < greet_at:
                self._wake.wait(greet_at - time.monotonic())
            if self._stopping:
                connection.close()
                return
        if not connection.send(wire.greeting(self.client_id)):
            connection.close()
            return
        with self._lock:
            if connection.closed:
                return
            self._connection = connection
            self._server = server
            self._wake.notify_all()
        if self._on_connect:
            self._on_connect()

    def _received(self, _connection: Connection, record: wire.Record) -> None:
        if self._on_record:
            self._on_record(record)

    def _lost(self, connection: Connection) -> None:
        with self._lock:
            if self._connection is not connection:
                return  # never got as far as connected
            self._connection = None
            self._wake.notify_all()
        if self._on_disconnect:
            self._on_disconnect()
