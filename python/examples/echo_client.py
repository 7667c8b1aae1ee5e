#!/usr/bin/python3
"""echo_client.py: uses "Echo" in the domain "Examples" (or the service and
domain given) as client "py-echo-client". Once connected it sends three
records of every value type, prints each answer and exits 0 when all have
come back, 1 on SIGINT, SIGTERM or after 60 s without them.

    echo_client.py [SERVICE DOMAIN]
"""

import os
import queue
import signal
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))  # usable from the tree

import ksxcomms  # noqa: E402

RECORDS = 3


def main() -> int:
    service, domain = sys.argv[1:3] if len(sys.argv) == 3 else ("Echo", "Examples")
    answers: "queue.Queue[ksxcomms.Record]" = queue.Queue()
    stopped = []
    signal.signal(signal.SIGINT, lambda *_: stopped.append(True))
    signal.signal(signal.SIGTERM, lambda *_: stopped.append(True))

    with ksxcomms.Client(service, domain, "py-echo-client", on_record=answers.put) as client:
        if not client.wait_connected(60):
            print("no server of %s in %s answered" % (service, domain), file=sys.stderr)
            return 1
        print("connected to %s:%d" % client.server, flush=True)
        for number in range(1, RECORDS + 1):
            client.send({"Number": number, "Text": "hello %d" % number, "Ratio": number / 4,
                         "Bytes": bytes([number, 0, 255])})
        deadline = time.monotonic() + 60
        received = 0
        while received < RECORDS:
            if stopped or time.monotonic() > deadline:
                return 1
            try:
                print("answer: %r" % (answers.get(timeout=0.2),), flush=True)
                received += 1
            except queue.Empty:
                pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
