"""Time and liveness with the real TCP plug-in: the limits a caller sets, the
deadline of one operation, a link that goes away while idle, and Ctrl-C
during a blocking call."""

import contextlib
import os
import signal
import sys
import threading
import time

from conftest import connect, full_listener, unconnected, wait_until
from fake_controller import Drip, FakeController, simple_reply

ENOTCONN = 107


def code_of(hv, name):
    return getattr(hv.ErrorCode, name)


def test_limits_and_their_ranges(hv, linked):
    c, peer = linked
    ok, bad = hv.ErrorCode.NoError, hv.ErrorCode.BadArgument
    defaults = {
        "TCP_Timeout": 10000,
        "TCP_ConnectTimeout": 5000,
        "TCP_Deadline": 0,
        "TCP_KeepAlive": 10,
        "TCP_NoDelay": -1,
    }
    for name, value in defaults.items():
        assert c.ReadIntAttribute(name) == (ok, value), name
    for name, value in [
        ("TCP_Timeout", 0),
        ("TCP_Timeout", 3600001),
        ("TCP_Deadline", -1),
        ("TCP_KeepAlive", 3601),
        ("TCP_NoDelay", 2),
        ("TCP_Port", 70000),
        ("TCP_Port", -1),
    ]:
        assert c.WriteIntAttribute(name, value) == bad, (name, value)
    assert c.ReadIntAttribute("TCP_Timeout") == (ok, 10000)
    assert c.ReadIntAttribute("InterfaceLevel") == (ok, 3)

    # The reply time-out: a silent controller costs 0.3 s, not 10.
    assert c.WriteIntAttribute("TCP_Timeout", 300) == ok
    peer.responder = lambda tokens: None
    start = time.monotonic()
    code, _ = c.ReadVrValue(1)
    elapsed = time.monotonic() - start
    assert code == hv.ErrorCode.Timeout and 0.28 <= elapsed < 0.8, elapsed
    assert c.IsConnected() is False  # the reply's end is unknown: the link is given up

    # The connect limit, against a listener whose accept queue is full: the
    # kernel drops every further SYN, as a host behind a dropping firewall.
    with full_listener() as port:
        d = unconnected(hv, "127.0.0.1", port)
        assert d.WriteIntAttribute("TCP_ConnectTimeout", 300) == ok
        start = time.monotonic()
        code = d.Connect()
        elapsed = time.monotonic() - start
        assert code != ok and 0.28 <= elapsed < 0.8, (hex(int(code)), elapsed)
        d.DestroyContext()


def test_deadline_bounds_a_drip_fed_call_and_the_call_queued_behind_it(hv, linked):
    c, peer = linked
    peer.responder = lambda tokens: Drip(simple_reply(1.0))  # 16 bytes, one a second
    assert c.WriteIntAttribute("TCP_Deadline", 3000) == hv.ErrorCode.NoError
    behind = {}

    def queued_call():
        time.sleep(0.5)
        start = time.monotonic()
        behind["code"] = c.ReadVrValue(2)[0]
        behind["elapsed"] = time.monotonic() - start

    thread = threading.Thread(target=queued_call)
    thread.start()
    start = time.monotonic()
    code, _ = c.ReadVrValue(1)
    elapsed = time.monotonic() - start
    thread.join(10)
    assert code == hv.ErrorCode.Timeout and abs(elapsed - 3.0) <= 0.2, elapsed
    # Its request was written, so the link closed, and the call behind it
    # failed at once rather than waiting out its own deadline.
    assert behind["code"] != hv.ErrorCode.NoError and behind["elapsed"] < 3.0, behind
    assert c.IsConnected() is False

    peer.responder = lambda tokens: simple_reply(7.0)
    assert c.Connect() == hv.ErrorCode.NoError
    assert c.ReadVrValue(3) == (hv.ErrorCode.NoError, 7.0)


def test_a_link_closed_by_the_peer_while_idle_is_seen_at_once_and_reported_once(hv, peer):
    c = hv.Connection()
    errors = []
    c.SetEventHandler(
        lambda kind, code, text: (
            errors.append((time.monotonic(), int(code), text)) if kind == hv.EventType.Error else None
        )
    )
    assert c.CreateContext(hv.ConnectionType.TCP) == hv.ErrorCode.NoError
    c.WriteStringAttribute("TCP_HostName", "127.0.0.1")
    c.WriteIntAttribute("TCP_Port", peer.port)
    c.WriteIntAttribute("TCP_Trace", 0)
    assert c.Connect() == hv.ErrorCode.NoError
    assert c.ReadVrValue(1)[0] == hv.ErrorCode.NoError
    time.sleep(0.2)  # idle: no call in progress
    assert c.IsConnected() is True and errors == []

    closed = time.monotonic()
    peer.drop_clients()
    assert wait_until(lambda: errors, timeout=2.0, step=0.002)
    seen = errors[0][0] - closed
    assert seen < 0.1, seen  # noticed by the connection itself, no call made
    assert c.IsConnected() is False
    time.sleep(0.2)
    assert [code for _, code, _ in errors] == [0x200000000 | ENOTCONN]
    assert errors[0][2].startswith("the link was closed by the controller at "), errors
    assert c.ReadStringAttribute("LinkLossCause") == (hv.ErrorCode.NoError, errors[0][2])
    c.DestroyContext()


def test_ctrl_c_ends_a_call_to_a_silent_controller(hv, linked, monkeypatch):
    c, peer = linked
    peer.responder = lambda tokens: None
    sent = []
    # The abandoned call raises events on the calling thread while the
    # signal's exception is pending: the handler must still run, a call it
    # makes to another connection is that connection's own (not abandoned
    # too), and the exception must still reach the caller.
    other = FakeController()
    other.responder = lambda tokens: simple_reply(5.0)
    d = connect(hv, "127.0.0.1", other.port)
    events, nested, unraisable = [], [], []

    def on_event(kind, code, text):
        events.append((kind, int(code), text))
        if kind == hv.EventType.Error and not nested:
            nested.append(d.ReadVrValue(5))

    c.SetEventHandler(on_event)
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)

    def interrupt():
        time.sleep(0.3)
        sent.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)

    thread = threading.Thread(target=interrupt)
    thread.start()
    try:
        c.ReadVrValue(1)
        raised = None
    except KeyboardInterrupt:
        raised = time.monotonic()
    thread.join(5)
    assert raised is not None, "the call returned instead of raising"
    assert raised - sent[0] < 0.1, raised - sent[0]
    assert unraisable == [], [(u.exc_type, u.exc_value) for u in unraisable]
    assert any(kind == hv.EventType.Error for kind, _, _ in events), events
    assert nested == [(hv.ErrorCode.NoError, 5.0)]
    assert d.IsConnected() is True
    c.SetEventHandler(None)
    d.DestroyContext()
    other.close()
    # The request was written and its reply abandoned: the link is closed.
    assert c.IsConnected() is False
    peer.responder = lambda tokens: simple_reply(2.0)
    assert c.Connect() == hv.ErrorCode.NoError
    assert c.ReadVrValue(1) == (hv.ErrorCode.NoError, 2.0)

    # A handler of its own that calls back into a connection while a call
    # waits (and may hold the connection's locks) is refused, not deadlocked.
    peer.responder = lambda tokens: None
    inside = []

    def handler(signum, frame):
        inside.append(c.Disconnect())
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGINT, handler)
    try:
        thread = threading.Thread(target=lambda: (time.sleep(0.2), os.kill(os.getpid(), signal.SIGINT)))
        thread.start()
        with contextlib.suppress(KeyboardInterrupt):
            c.ReadVrValue(1)
        thread.join(5)
    finally:
        signal.signal(signal.SIGINT, previous)
    assert inside == [hv.ErrorCode.Fail]
