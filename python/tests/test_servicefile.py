"""ksxcomms reads each text of the table as the C++ reader (``ksxctl list``) does: same entries or syntax error."""

import os
import signal
import subprocess

import pytest

from conftest import host_program

import ksxcomms.servicefile as servicefile

TEXTS = [
    # spread over lines, CR LF, tabs, two entries on one line, comments
    "SERVICE: a DOMAIN: d\r\n\tADDRESS: 10.1.2.3\n PORT: 8000 ## note\n"
    "service: b domain: 007 address: 10.0.0.1 port: 1 servername: h1 dynamic: no -- x\n"
    "SERVICE: c DOMAIN: ANY_KES_DOMAIN ADDRESS: 01.002.0003.4 PORT: 70000 DYNAMIC: maybe",
    # a later entry replaces an earlier one; #x and a##b are words, not comments
    "SERVICE: #x DOMAIN: a##b ADDRESS: 1.2.3.4 PORT: 5 SERVERNAME: s DYNAMIC: YES\n"
    "SERVICE: #x DOMAIN: a##b ADDRESS: 1.2.3.5 PORT: 6",
    # a port too large for 32 bits drops the entry; a NUL ends the text
    "SERVICE: big DOMAIN: d ADDRESS: 1.2.3.4 PORT: 99999999999\n"
    "SERVICE: kept DOMAIN: d ADDRESS: 1.2.3.4 PORT: 9\n\0SERVICE: gone",
    # syntax errors: the whole file reads as empty
    "SERVICE: a DOMAIN: d ADDRESS: 1.2.3.4 PORT:80",
    "SERVICE: a DOMAIN: d ADDRESS: 1.2.3.4 PORT: 80 DYNAMIC: NO SERVERNAME: h",
    "SERVICE: a DOMAIN: 10.0.0.1 ADDRESS: 1.2.3.4 PORT: 80",
    "SERVICE: a DOMAIN: d ADDRESS: 1.2.3.4 PORT: 80\n# not a comment\n",
    "## only a comment\n",
    "SERVICE: 12 DOMAIN: d ADDRESS: 1.2.3.4 PORT: 80",
]


def cpp_entries(path):
    """The entries ksxctl lists, or None for a syntax error."""
    result = subprocess.run([host_program("ksxctl"), "list", "--file", path], capture_output=True, text=True)
    if result.returncode != 0:
        assert "syntax error" in result.stderr
        return None
    rows = [line.split() for line in result.stdout.splitlines()[1:]]
    return sorted((service, domain, address, int(port), None if server == "-" else server, kind == "dynamic")
                  for service, domain, address, port, server, kind in rows)


@pytest.mark.parametrize("text", TEXTS)
def test_reads_as_the_cpp_reader(text, tmp_path):
    path = tmp_path / "ServiceData.cfg"
    path.write_bytes(text.encode())
    read = servicefile.ServiceFile(str(path))
    ours = None if read.error_line is not None else sorted(
        (e.service, e.domain, e.address, e.port, e.server_name, e.dynamic) for e in read.entries.values())
    assert ours == cpp_entries(str(path))
    assert read.error_line is None or read.entries == {}  # a syntax error empties the whole file


def test_only_a_regular_file_is_read(tmp_path):
    fifo = tmp_path / "ServiceData.cfg"
    os.mkfifo(fifo)

    def waited(signum, frame):
        raise AssertionError("the reader waited for a writer of the FIFO")

    previous = signal.signal(signal.SIGALRM, waited)
    signal.alarm(5)
    try:
        for path in (fifo, tmp_path):
            with pytest.raises(OSError):
                servicefile.ServiceFile(str(path))
            assert servicefile.find("Lab", "Echo", str(path)) is None
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, previous)
