#!/usr/bin/python3
"""echo_server.py: serves "Echo" in the domain "Examples" (or the service and
domain given) and sends every record back to the client that sent it,
printing each with the client's id. Stops on SIGINT or SIGTERM.

    echo_server.py [SERVICE DOMAIN]
"""

import os
import signal
import sys
import threading

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))  # usable from the tree

import ksxcomms  # noqa: E402


def main() -> int:
    service, domain = sys.argv[1:3] if len(sys.argv) == 3 else ("Echo", "Examples")
    stop = threading.Event()
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    signal.signal(signal.SIGTERM, lambda *_: stop.set())

    def echo(client_id: str, record: ksxcomms.Record) -> None:
        print("record from %s: %r" % (client_id, record), flush=True)
        server.send(client_id, record)

    server = ksxcomms.Server(service, domain, on_record=echo,
                             on_connect=lambda c: print("client %s connected" % c, flush=True),
                             on_disconnect=lambda c: print("client %s disconnected" % c, flush=True))
    address, port = server.start()
    print("serving %s in %s at %s:%d (%s)" % (service, domain, address, port,
                                              "fixed" if server.fixed else "found over multicast"), flush=True)
    stop.wait()
    server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
