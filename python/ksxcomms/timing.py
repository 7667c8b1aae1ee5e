"""The fixed delays and bounds of the protocol, as the C++ side has them.

Delays follow the time scale ``KSX_TIME_SCALE`` (read once, a finite positive
factor; anything else counts as 1), which tests use to shorten them. The send
deadline bounds a peer, not a protocol step, and is not scaled.
"""

from __future__ import annotations

import math
import os


def _initial_scale() -> float:
    try:
        factor = float(os.environ.get("KSX_TIME_SCALE", ""))
    except ValueError:
        return 1.0
    return factor if math.isfinite(factor) and factor > 0 else 1.0


#: The factor applied to every scaled delay.
TIME_SCALE: float = _initial_scale()


def scaled(seconds: float) -> float:
    """A protocol delay under the time scale."""
    return seconds * TIME_SCALE


CONNECT_RETRY = 3.0          #: between a client's connection attempts
KEEP_ALIVE_PERIOD = 10.0     #: between a connected client's keep-alives
GREETING_DELAY = 2.0         #: from the connection to the client id
IDENTIFY_DEADLINE = 30.0     #: a server waits this long for the client id
IDLE_LIMIT = 35.0            #: a server drops an identified client silent this long
UNACKED_LIMIT = 30.0         #: TCP_USER_TIMEOUT on every connection
SEND_DEADLINE = 10.0         #: unscaled: a frame not taken by then closes the connection
EARLY_RECORDS = 256          #: records a server holds for a connection before its id
