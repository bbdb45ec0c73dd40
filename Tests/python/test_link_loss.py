"""A lost link or a failed Connect through the module, end to end: one Error
event per lost link whatever the reply being read, its text kept as the
read-only attribute LinkLossCause, and the codes that tell a caller whether
its request went out."""

import re
import socket
import subprocess
import sys
import threading
import time

from conftest import MODULE_DIR, unconnected, wait_until
from fake_controller import simple_reply

ERRNO = {"EBADF": 9, "ENOTCONN": 107, "ETIMEDOUT": 110, "EHOSTUNREACH": 113, "EAFNOSUPPORT": 97}
AT_TIME = r" at [0-2]\d:[0-5]\d:[0-6]\d"


def system_code(name):
    return 0x200000000 | ERRNO[name]


def cause(c, hv):
    code, text = c.ReadStringAttribute("LinkLossCause")
    assert code == hv.ErrorCode.NoError
    return text


def test_every_reader_reports_a_lost_link_once_with_its_cause(hv, peer):
    # Each reply starts and then stops short: a value list after two items, a
    # VR string after three of its twelve bytes, a listing after one entry.
    partial = {
        "VR": simple_reply(5.0)[:3],
        "VRVALUES": simple_reply(0.0) + b"1.5,2",
        "PRINT": b"12#abc",
        "DIR": b"RAM\r\nPROG1,100,80,-1,2,1,0\r\n",
    }
    peer.responder = lambda tokens: partial.get(tokens[0]) if tokens and isinstance(tokens[0], str) else None
    errors = []
    c = unconnected(hv, "127.0.0.1", peer.port)
    c.SetEventHandler(lambda kind, code, text: errors.append((int(code), text)) if kind == hv.EventType.Error else None)
    readers = {
        "simple reply": lambda: c.ReadVrValue(1),
        "value list": lambda: c.ReadMultiVrValues(0, 4),
        "VR string": lambda: c.ReadVrString(3),
        "directory listing": lambda: c.Dir(),
    }
    try:
        for name, read in readers.items():
            assert c.Connect() == hv.ErrorCode.NoError, name
            assert cause(c, hv) == "", name
            assert c.WriteIntAttribute("TCP_Timeout", 300) == hv.ErrorCode.NoError
            errors.clear()
            assert read()[0] == hv.ErrorCode.Timeout, name
            assert c.IsConnected() is False, name
            # Nothing is sent on the lost link, and nothing more reported.
            assert c.WriteVrValue(1, 2.0) == system_code("EBADF"), name
            time.sleep(0.05)
            assert [code for code, _ in errors] == [int(hv.ErrorCode.Timeout)], (name, errors)
            assert re.fullmatch(r"no reply within 300 ms \(TCP_Timeout\)" + AT_TIME, errors[0][1]), errors
            assert cause(c, hv) == errors[0][1], name
    finally:
        c.SetEventHandler(None)
        c.DestroyContext()


def test_a_failed_connect_says_why(hv, tcp_plugin):
    def attempt(host, port, **limits):
        c = unconnected(hv, host, port)
        for name, value in limits.items():
            assert c.WriteIntAttribute(name, value) == hv.ErrorCode.NoError
        code = int(c.Connect())
        text = cause(c, hv)
        c.DestroyContext()
        return code, text

    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        closed = probe.getsockname()[1]
    code, text = attempt("127.0.0.1", closed)
    assert code == 0x200000000 | 111 and re.fullmatch(rf"connection refused by 127\.0\.0\.1:{closed}" + AT_TIME, text)

    code, text = attempt("::1", 3240)
    assert (code, text) == (system_code("EAFNOSUPPORT"), "IPv6 addresses are not supported ('::1')")

    # A listener whose accept queue is full drops the connection request, as
    # a host behind a dropping firewall: the connect runs out of time.
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(0)
    fillers = []
    try:
        for _ in range(4):
            filler = socket.socket()
            filler.setblocking(False)
            filler.connect_ex(server.getsockname())
            fillers.append(filler)
        time.sleep(0.05)
        port = server.getsockname()[1]
        code, text = attempt("127.0.0.1", port, TCP_ConnectTimeout=300)
        assert code == system_code("ETIMEDOUT"), hex(code)
        assert re.fullmatch(
            rf"no answer from 127\.0\.0\.1:{port} within 300 ms \(TCP_ConnectTimeout\)" + AT_TIME, text
        ), text
    finally:
        for filler in fillers:
            filler.close()
        server.close()


def test_a_name_that_does_not_resolve_is_told_as_such(tcp_plugin):
    # In a network namespace of its own, where no query can leave the host.
    snippet = (
        f"import sys; sys.path.insert(0, {str(MODULE_DIR)!r})\n"
        "import Vantrel_HolvaneAPI as hv\n"
        "c = hv.Connection()\n"
        "assert c.CreateContext(hv.ConnectionType.TCP) == hv.ErrorCode.NoError\n"
        "c.WriteStringAttribute('TCP_HostName', 'plc7.invalid')\n"
        "print(hex(int(c.Connect())))\n"
        "print(c.ReadStringAttribute('LinkLossCause')[1])\n"
        "c.DestroyContext()\n"
    )
    result = subprocess.run(
        ["unshare", "--net", sys.executable, "-c", snippet], check=False, capture_output=True, text=True, timeout=60
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [hex(system_code("EHOSTUNREACH")), "cannot resolve host 'plc7.invalid'"]


def test_a_call_made_while_another_thread_connects_waits_for_it(hv, peer):
    # The controller is slow to send its token table: the link is open (and
    # IsConnected true) well before the connect sequence ends.
    peer.table_delay = 0.6
    peer.responder = lambda tokens: simple_reply(4.5)
    c = unconnected(hv, "127.0.0.1", peer.port)
    results = {}
    try:
        connector = threading.Thread(target=lambda: results.setdefault("connect", c.Connect()))
        connector.start()
        assert wait_until(lambda: c.IsConnected() is True, timeout=5)
        reader = threading.Thread(target=lambda: results.setdefault("read", c.ReadVrValue(1)))
        reader.start()
        time.sleep(0.2)
        assert "read" not in results  # waiting for the Connect, not failed
        connector.join(10)
        reader.join(10)
        assert results == {"connect": hv.ErrorCode.NoError, "read": (hv.ErrorCode.NoError, 4.5)}
    finally:
        c.DestroyContext()
