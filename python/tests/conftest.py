"""Shared by the Python tests (run in scripts/netns-run): the tree's package, host programs, homes, daemons."""

import contextlib
import os
import queue
import socket
import subprocess
import sys
import threading
import time
import types

import pytest

# The library's delays and this package's at a tenth (read by ksxcomms on import).
os.environ.setdefault("KSX_TIME_SCALE", "0.1")
SOURCE_DIR = os.environ.get("KSX_SOURCE_DIR") or os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(SOURCE_DIR, "python"))

WAIT = 20.0  # seconds any expected line or event may take; only failures wait this long
SHIPPED = open(os.path.join(SOURCE_DIR, "etc", "ServiceData.cfg.default")).read()


def host_program(name):
    build = os.environ.get("KSX_BUILD_DIR") or os.path.join(SOURCE_DIR, "build", "release")
    if not os.path.isdir(build):
        pytest.skip("no build tree (set KSX_BUILD_DIR)")
    for sub in ("tests", "tools"):
        path = os.path.join(build, sub, name)
        if os.access(path, os.X_OK):
            return path
    pytest.fail("%s is not built" % name)


def fixed_entry(port=None):
    """A fixed entry of Echo in Lab on loopback, at a free port unless told."""
    if port is None:
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
    return "SERVICE: Echo DOMAIN: Lab ADDRESS: 127.0.0.1 PORT: %d DYNAMIC: NO\n" % port


@pytest.fixture
def homes(tmp_path):
    """A factory of installation homes (.path, .service_file: the shipped one plus extra entries)."""
    def make(name, extra=""):
        etc = tmp_path / name / "etc" / "ostravine"
        etc.mkdir(parents=True)
        (etc / "ServiceData.cfg").write_text(SHIPPED + extra)
        return types.SimpleNamespace(path=str(tmp_path / name), service_file=str(etc / "ServiceData.cfg"))
    return make


def next_from(source, timeout, wanted):
    """The next item of the queue for which wanted(item) holds, or None after timeout seconds."""
    end = time.monotonic() + timeout
    while True:
        try:
            item = source.get(timeout=max(0.0, end - time.monotonic()))
        except queue.Empty:
            return None
        if wanted(item):
            return item


class Daemon:
    """A host program whose standard output is read line by line."""

    def __init__(self, program, args, home):
        self.process = subprocess.Popen([host_program(program)] + list(args), env=dict(os.environ, KSX_HOME=home.path),
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
        self.lines = queue.Queue()
        self.seen = []
        self.killed = False
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            self.lines.put(line.rstrip("\n"))

    def wait_for(self, prefix, timeout=WAIT):
        """The next line that starts with prefix ("" when none comes in time); all lines read go to seen."""
        def wanted(line):
            self.seen.append(line)
            return line.startswith(prefix)
        return next_from(self.lines, timeout, wanted) or ""

    def write(self, line):
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()

    def kill(self):
        self.killed = True
        self.process.kill()
        self.process.wait()

    def stop(self):
        """Ends the program as its users do (end of input, else SIGTERM); its exit status, None when killed."""
        if self.killed:
            return None
        with contextlib.suppress(OSError):
            self.process.stdin.close()
        with contextlib.suppress(subprocess.TimeoutExpired):
            return self.process.wait(2)
        self.process.terminate()
        with contextlib.suppress(subprocess.TimeoutExpired):
            return self.process.wait(20)
        self.kill()
        return "hung"


@pytest.fixture
def daemons():
    """Starts daemons (daemons(program, args, home)) and stops them all at the end."""
    started = []

    def start(program, args, home):
        started.append(Daemon(program, args, home))
        return started[-1]

    yield start
    # A sanitizer's finding at exit shows only in the status.
    assert [daemon.stop() for daemon in started] == [None if d.killed else 0 for d in started]


class Events:
    """Callbacks of a Python client or server, collected in one queue."""

    def __init__(self):
        self.queue = queue.Queue()

    def __call__(self, kind):
        return lambda *args: self.queue.put((kind,) + args)

    def next(self, kind, timeout=WAIT):
        """The arguments of the next event of that kind (skipping others), or None."""
        event = next_from(self.queue, timeout, lambda event: event[0] == kind)
        return event and event[1:]
