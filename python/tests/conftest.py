"""Shared pieces of the Python tests: the package from the tree, the C++
host programs of the build (``KSX_BUILD_DIR``), installation homes, and the
daemons the tests start. Run inside scripts/netns-run (ctest does)."""

import os
import queue
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

# The library's delays, and this package's, at a tenth: retries 0.3 s,
# greeting 0.2 s, keep-alive 1 s. Read by ksxcomms when it is imported.
os.environ.setdefault("KSX_TIME_SCALE", "0.1")
SOURCE_DIR = os.environ.get("KSX_SOURCE_DIR") or os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(SOURCE_DIR, "python"))

WAIT = 20.0  # seconds any expected line or event may take; only failures wait this long


def build_dir():
    path = os.environ.get("KSX_BUILD_DIR") or os.path.join(SOURCE_DIR, "build", "release")
    if not os.path.isdir(path):
        pytest.skip("no build tree (set KSX_BUILD_DIR)")
    return path


def host_program(name):
    for sub in ("tests", "tools"):
        path = os.path.join(build_dir(), sub, name)
        if os.access(path, os.X_OK):
            return path
    pytest.fail("%s is not built" % name)


SHIPPED = open(os.path.join(SOURCE_DIR, "etc", "ServiceData.cfg.default")).read()


class Home:
    """An installation home with its service file."""

    def __init__(self, root, name, extra=""):
        self.path = os.path.join(str(root), name)
        os.makedirs(os.path.join(self.path, "etc", "ostravine"))
        self.write(SHIPPED + extra)

    @property
    def service_file(self):
        return os.path.join(self.path, "etc", "ostravine", "ServiceData.cfg")

    def write(self, text):
        with open(self.service_file, "w") as stream:
            stream.write(text)


@pytest.fixture
def homes(tmp_path):
    """A home factory: homes("name", extra_entries)."""
    return lambda name, extra="": Home(tmp_path, name, extra)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Daemon:
    """A host program whose standard output is read line by line."""

    def __init__(self, program, args, home):
        env = dict(os.environ, KSX_HOME=home.path)
        self.process = subprocess.Popen([host_program(program)] + list(args), env=env, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True, bufsize=1)
        self.lines = queue.Queue()
        self.seen = []
        self.killed = False
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            self.lines.put(line.rstrip("\n"))

    def wait_for(self, prefix, timeout=WAIT):
        """The next line that starts with prefix ("" when none comes in time)."""
        end = time.monotonic() + timeout
        while True:
            try:
                line = self.lines.get(timeout=max(0.0, end - time.monotonic()))
            except queue.Empty:
                return ""
            self.seen.append(line)
            if line.startswith(prefix):
                return line

    def write(self, line):
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()

    def kill(self):
        self.killed = True
        self.process.kill()
        self.process.wait()

    def stop(self):
        """Ends the program as its users do (end of input, else SIGTERM);
        its exit status, None when the test killed it."""
        if self.killed:
            return None
        try:
            self.process.stdin.close()
        except OSError:
            pass
        try:
            self.process.wait(2)
        except subprocess.TimeoutExpired:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(20)
            except subprocess.TimeoutExpired:
                self.kill()
                return "hung"
        return self.process.returncode


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
        """The next event of that kind (skipping others), or None."""
        end = time.monotonic() + timeout
        while True:
            try:
                event = self.queue.get(timeout=max(0.0, end - time.monotonic()))
            except queue.Empty:
                return None
            if event[0] == kind:
                return event[1:]
