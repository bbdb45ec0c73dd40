"""holvane_fault_proxy does to the bytes what each fault says, so that the
fault run's figures count real faults: seen from a raw client and a raw
controller on either side of it."""

import socket
import threading
import time

import pytest
from conftest import BUILD, require_built
from fault_processes import FaultProxy, restartable_port

REPLY = bytes(range(40, 72))  # what the controller answers to anything


class RawController:
    """Accepts links and answers each chunk it receives with REPLY; keeps what it got."""

    def __init__(self):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.received = []
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                link, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._answer, args=(link,), daemon=True).start()

    def _answer(self, link):
        with link:
            while True:
                try:
                    data = link.recv(4096)
                except OSError:
                    return
                if not data:
                    return
                self.received.append(data)
                link.sendall(REPLY)

    def close(self):
        self.listener.close()


@pytest.fixture
def proxied():
    require_built(BUILD / "bin" / "holvane_fault_proxy", "holvane_fault_proxy")
    controller = RawController()
    proxy = FaultProxy(
        BUILD / "bin" / "holvane_fault_proxy", "127.0.0.1", restartable_port("127.0.0.1"), controller.port
    )
    yield proxy, controller
    proxy.close()
    controller.close()


def reads(link, count, timeout=2.0):
    """(arrival time, bytes) of each receive until `count` bytes have come."""
    link.settimeout(timeout)
    got, total = [], 0
    while total < count:
        data = link.recv(count - total)
        if not data:
            break
        got.append((time.monotonic(), data))
        total += len(data)
    return got


def test_each_fault_does_what_it_says(proxied):
    proxy, controller = proxied
    link = socket.create_connection((proxy.host, proxy.port))
    link.sendall(b"plain")
    assert b"".join(d for _, d in reads(link, len(REPLY))) == REPLY

    proxy("arm delay 60000")
    sent = time.monotonic()
    link.sendall(b"delayed")
    got = reads(link, len(REPLY))
    assert b"".join(d for _, d in got) == REPLY and got[0][0] - sent >= 0.055

    # Arrival times have lower bounds only: a reader scheduled late sees
    # pieces together, never earlier.
    proxy("arm split 4 20000 7")
    sent = time.monotonic()
    link.sendall(b"split")
    got = reads(link, len(REPLY))
    assert b"".join(d for _, d in got) == REPLY and len(got) >= 2
    assert got[-1][0] - sent >= 3 * 0.02 - 0.002

    proxy("arm drip 5000 6")
    sent = time.monotonic()
    link.sendall(b"drip")
    got = reads(link, len(REPLY))
    assert b"".join(d for _, d in got) == REPLY and len(got[0][1]) == 1
    assert got[-1][0] - sent >= 5 * 0.005 - 0.002
    proxy("settle")
    fired, fired_at, ended_at = proxy.status()
    assert fired and ended_at - fired_at >= 0.025

    proxy("arm reset-reply 3")
    link.sendall(b"cut")
    with pytest.raises(ConnectionResetError):
        assert b"".join(d for _, d in reads(link, len(REPLY))) == REPLY[:3]
    assert controller.received[-1] == b"cut", "the request went through"

    link = socket.create_connection((proxy.host, proxy.port))
    proxy("arm reset-request")
    link.sendall(b"never")
    with pytest.raises(ConnectionResetError):
        reads(link, 1)
    assert b"never" not in controller.received

    link = socket.create_connection((proxy.host, proxy.port))
    proxy("arm blackhole-reply")
    link.sendall(b"swallowed")
    with pytest.raises(socket.timeout):
        reads(link, 1, timeout=0.2)
    assert controller.received[-1] == b"swallowed"
    assert proxy.status()[2] == 0.0, "a black hole lasts while its link is open"
    link.close()
    deadline = time.monotonic() + 2
    while proxy.status()[2] == 0.0 and time.monotonic() < deadline:
        time.sleep(0.01)
    assert proxy.status()[2] > 0.0, "... and ends when the client gives the link up"

    other = socket.create_connection((proxy.host, proxy.port))
    assert proxy("down") == "1"
    assert other.recv(1) == b"", "a controller going away closes its links"
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection((proxy.host, proxy.port))
    proxy("up")
    link = socket.create_connection((proxy.host, proxy.port))
    link.sendall(b"back")
    assert b"".join(d for _, d in reads(link, len(REPLY))) == REPLY
    assert proxy.fields("stats")["accepted"] == 5
