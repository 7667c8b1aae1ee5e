"""ksxcomms: records between the daemons of an installation, from Python.

Speaks the same wire as the C++ library: records of named values (``int``,
``str``, ``float``, ``bytes``) framed on TCP, servers found through the
service file or over the multicast discovery group.

    from ksxcomms import Client, Server
"""

from .client import Client
from .server import Server
from .servicefile import Entry, ServiceFile
from .wire import DecodeError, FramingError, Record, Value, decode, encode, frame

__all__ = ["Client", "Server", "Entry", "ServiceFile", "Record", "Value", "DecodeError", "FramingError",
           "decode", "encode", "frame"]
__version__ = "1.0.0"
