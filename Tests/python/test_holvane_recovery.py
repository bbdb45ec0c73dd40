"""What holvane does when the link fails, against a scripted peer and
holvane-sim: which calls reconnect and go (again), which raise and are never
sent twice, the back-off and its give-up, one cause per failure said in one
sentence, and arguments refused before anything is sent."""

import logging
import math
import re
import subprocess
import sys
import threading
import time

import pytest
from conftest import MODULE_DIR, full_listener, wait_until
from fake_controller import simple_reply

import holvane
from holvane import ConnectionLostError, HolvaneTimeoutError

CLOCK = r"\d\d:\d\d:\d\d"


def sent(peer, keyword):
    """The requests the peer received since the last look that carry ``keyword``."""
    return [tokens for tokens in peer.take() if keyword in tokens]


def lose_link(peer, c):
    peer.drop_clients()
    assert wait_until(lambda: not c.connected, 5.0)


def test_calls_that_find_the_link_down_reconnect_and_are_carried_out_once(peer, caplog):
    caplog.set_level(logging.INFO, logger="holvane")
    c = holvane.connect("127.0.0.1", peer.port, reconnect=True)
    try:
        calls = [
            (lambda: c.write_vr(5, 1.0), "ASSIGN"),
            (lambda: c.axis(2).move_abs(3.0), "MOVEABS"),
            (lambda: c.execute("PRINT 1"), "EXECUTE"),
            (lambda: c.read_vr(5), "VR"),
        ]
        for call, keyword in calls:
            lose_link(peer, c)
            peer.take()
            call()
            assert len(sent(peer, keyword)) == 1, keyword
        assert peer.connections == 1 + len(calls)
        reconnects = [r for r in caplog.records if "reconnected" in r.getMessage()]
        assert len(reconnects) == len(calls) and all(r.levelno == logging.INFO for r in reconnects)
        assert all("at attempt 1 " in r.getMessage() for r in reconnects)
    finally:
        c.close()

    # Without reconnect the call is refused, and says that nothing was sent.
    c = holvane.connect("127.0.0.1", peer.port)
    try:
        lose_link(peer, c)
        peer.take()
        with pytest.raises(ConnectionLostError, match=r"^write_vr\(5, 1\.0\): not sent: "):
            c.write_vr(5, 1.0)
        assert peer.take() == [] and not c.connected
    finally:
        c.close()


def test_a_call_lost_in_flight_goes_again_only_if_it_reads(peer):
    # The peer breaks the link at the first request of each kind.
    pending = {"read": True, "write": True, "batch": True}
    hang_up = {"read": peer.reset_clients, "write": peer.reset_clients, "batch": peer.drop_clients}

    def responder(tokens):
        kind = "write" if "ASSIGN" in tokens else "batch" if 40.0 in tokens else "read"
        if pending[kind]:
            pending[kind] = False
            hang_up[kind]()
            return None
        return simple_reply(2.5)

    peer.responder = responder
    c = holvane.connect("127.0.0.1", peer.port, reconnect=True)
    try:
        assert c.read_vr(7) == 2.5  # reset while waiting, read again over a new link
        assert len(sent(peer, "VR")) == 2 and peer.connections == 2

        with pytest.raises(ConnectionLostError, match="may have been carried out") as lost:
            c.write_vr(7, 1.0)
        assert "\n" not in str(lost.value)
        assert len(sent(peer, "ASSIGN")) == 1  # never sent twice
        assert c.read_vr(7) == 2.5 and peer.connections == 3  # the next call reconnects

        with c.batch() as b:  # reads only: lost while waiting, sent again
            first, second = b.read_vr(40), b.read_vr(41)
        assert (first.value, second.value) == (2.5, 2.5) and peer.connections == 4
    finally:
        c.close()


def test_a_write_whose_link_the_controller_closes_is_never_sent_twice(peer):
    # The controller closes (not resets) the link as the write arrives.
    def responder(tokens):
        if "ASSIGN" in tokens:
            peer.drop_clients()
            return None
        return simple_reply(1.5)

    peer.responder = responder
    c = holvane.connect("127.0.0.1", peer.port, reconnect=True)
    try:
        with pytest.raises(ConnectionLostError, match="may have been carried out"):
            c.write_vr(4, 2.0)
        assert len(sent(peer, "ASSIGN")) == 1
        assert c.read_vr(4) == 1.5 and peer.connections == 2
        with c.batch() as b:
            b.read_vr(1)
        # A write in the batch: no item goes twice.
        with pytest.raises(ConnectionLostError, match="may have been carried out"), c.batch() as b:
            b.read_vr(1)
            b.write_vr(4, 3.0)
        assert len(sent(peer, "ASSIGN")) == 1
    finally:
        c.close()


def test_a_timed_out_call_raises_and_the_next_one_reconnects(peer):
    silent = {"on": True}
    peer.responder = lambda tokens: None if silent["on"] else simple_reply(3.0)
    c = holvane.connect("127.0.0.1", peer.port, timeout=0.3, deadline=None, reconnect=True)
    try:
        started = time.monotonic()
        with pytest.raises(HolvaneTimeoutError) as timed_out:
            c.read_vr(1)
        assert time.monotonic() - started < 1.5  # not retried: the caller's time is spent
        assert str(timed_out.value).startswith("read_vr(1): ")
        silent["on"] = False
        assert c.read_vr(1) == 3.0 and peer.connections == 2
    finally:
        c.close()


def test_calls_meeting_a_reconnect_under_way_wait_for_it(peer):
    c = holvane.connect("127.0.0.1", peer.port, reconnect=True)
    try:
        lose_link(peer, c)
        peer.take()
        peer.table_delay = 0.3  # each connect takes a while
        errors = []

        def write(index):
            try:
                c.write_vr(index, float(index))
            except Exception as error:
                errors.append(error)

        threads = [threading.Thread(target=write, args=(i,)) for i in range(6)]
        for thread in threads:
            thread.start()
            time.sleep(0.05)  # some meet the link down, some the connect under way
        for thread in threads:
            thread.join(10)
        assert errors == []
        assert sorted(tokens[2] for tokens in sent(peer, "ASSIGN")) == [float(i) for i in range(6)]
        assert peer.connections == 2  # one reconnect served them all
    finally:
        c.close()


def test_reconnecting_backs_off_gives_up_in_one_sentence_and_recovers(sims, caplog):
    caplog.set_level(logging.INFO, logger="holvane")
    one = sims()
    c = holvane.connect(
        one.host, one.port, reconnect=True, reconnect_delay=0.05, reconnect_delay_max=0.2, reconnect_give_up=0.8
    )
    try:
        one.close()
        assert wait_until(lambda: not c.connected, 5.0)
        started = time.monotonic()
        with pytest.raises(ConnectionLostError) as gave_up:
            c.write_vr(1, 1.0)
        elapsed = time.monotonic() - started
        assert 0.6 <= elapsed < 2.5, elapsed
        text = str(gave_up.value)
        assert re.fullmatch(
            r"write_vr\(1, 1\.0\): .+, and \d+ attempts to reconnect over \d+\.\d s failed, "
            r"the last with: .+",
            text,
        ), text
        assert "\n" not in text and "link lost (" not in text
        failed = [r.getMessage() for r in caplog.records if "reconnect attempt" in r.getMessage()]
        assert all(r.levelno == logging.INFO for r in caplog.records if "reconnect attempt" in r.getMessage())
        assert [int(re.search(r"attempt (\d+)", m).group(1)) for m in failed] == list(range(1, len(failed) + 1))
        pauses = [float(re.search(r"next attempt in ([0-9.]+) s", m).group(1)) for m in failed]
        assert pauses[:4] == [0.05, 0.1, 0.2, 0.2], pauses

        again = sims("--port", str(one.port))  # the controller is back where it was
        assert again.port == one.port
        c.write_vr(1, 4.0)
        assert c.read_vr(1) == 4.0 and c.connected
    finally:
        c.close()

    # An attempt whose socket connect would hang is cut short at the give-up time.
    c = holvane.connect(again.host, again.port, connect_timeout=5.0, reconnect=True, reconnect_give_up=0.5)
    try:
        with full_listener() as port:
            c._c.WriteIntAttribute("TCP_Port", port)
            again.close()
            assert wait_until(lambda: not c.connected, 5.0)
            started = time.monotonic()
            with pytest.raises(ConnectionLostError, match="to reconnect over"):
                c.read_vr(1)
            assert time.monotonic() - started < 1.5
        assert c._c.ReadIntAttribute("TCP_ConnectTimeout")[1] == 5000  # as configured again
    finally:
        c.close()


def test_each_lost_link_gives_its_own_cause(peer, sims):
    # Found down by the next call: the cause of the loss, with its time.
    c = holvane.connect("127.0.0.1", peer.port)
    try:
        lose_link(peer, c)
        with pytest.raises(
            ConnectionLostError, match=rf"^read_vr\(1\): not sent: the link was closed by the controller at {CLOCK}"
        ):
            c.read_vr(1)
    finally:
        c.close()

    peer.responder = lambda tokens: peer.reset_clients()
    c = holvane.connect("127.0.0.1", peer.port)
    try:
        with pytest.raises(
            ConnectionLostError, match=rf"^read_vr\(1\): the link was reset by the controller at {CLOCK}"
        ):
            c.read_vr(1)
    finally:
        c.close()

    peer.responder = lambda tokens: None
    silent_reply = rf"no reply within 300 ms \(TCP_Timeout\) at {CLOCK}"
    with (
        holvane.connect("127.0.0.1", peer.port, timeout=0.3, deadline=None) as c,
        pytest.raises(HolvaneTimeoutError, match=silent_reply),
    ):
        c.read_vr(1)
    with (
        holvane.connect("127.0.0.1", peer.port, timeout=5.0, deadline=0.3) as c,
        pytest.raises(HolvaneTimeoutError, match=r"deadline of 300 ms \(TCP_Deadline\) passed"),
    ):
        c.read_vr(1)

    peer.responder = lambda tokens: simple_reply(1.0)
    with holvane.connect("127.0.0.1", peer.port) as c:
        c._c.Disconnect()
        with pytest.raises(ConnectionLostError, match=rf"not sent: closed by the caller at {CLOCK}"):
            c.write_vr(1, 2.0)

    gone = sims()
    port = gone.port
    with holvane.connect(gone.host, port, reconnect=True, reconnect_give_up=0) as c:
        gone.close()
        assert wait_until(lambda: not c.connected, 5.0)
        with pytest.raises(ConnectionLostError) as failed:
            c.read_vr(1)
    assert re.fullmatch(
        rf"read_vr\(1\): the link was closed by the controller at {CLOCK}, and 1 attempt to "
        rf"reconnect over \d+\.\d s failed, the last with: connection refused by 127\.0\.0\.1:{port} "
        rf"at {CLOCK}",
        str(failed.value),
    ), str(failed.value)


def test_connect_refuses_unusable_arguments_and_says_why_it_failed(sims):
    one = sims()
    bad = [
        {"host": ""},
        {"host": "  "},
        {"host": "::1"},
        {"host": "[fe80::1]"},
        {"port": 0},
        {"port": 70000},
        {"timeout": 0},
        {"timeout": -1.0},
        {"timeout": math.nan},
        {"connect_timeout": math.inf},
        {"deadline": -0.5},
        {"keepalive": -1},
        {"keepalive": 10**6},
        {"reconnect_delay": 0},
        {"reconnect_delay": 1.0, "reconnect_delay_max": 0.5},
        {"reconnect_give_up": -1},
    ]
    for arguments in bad:
        options = dict({"host": one.host, "port": one.port}, **arguments)
        with pytest.raises(ValueError) as refused:
            holvane.connect(**options)
        name = next(iter(arguments))
        assert ("IPv6" if name == "host" and ":" in arguments[name] else name) in str(refused.value)
    with pytest.raises(TypeError, match="port"):
        holvane.connect(one.host, "3240")

    with full_listener() as port:
        started = time.monotonic()
        with pytest.raises(HolvaneTimeoutError) as timed_out:
            holvane.connect("127.0.0.1", port, connect_timeout=0.3)
        assert 0.25 <= time.monotonic() - started < 1.5
        assert isinstance(timed_out.value, TimeoutError)
        assert str(timed_out.value).startswith(f"connect('127.0.0.1', {port}): ")


def test_a_host_name_that_does_not_resolve_says_so():
    # In a network namespace of its own, with no route anywhere, so that
    # nothing is asked of any name server.
    code = f"""
import sys
sys.path.insert(0, {str(MODULE_DIR)!r})
import holvane
try:
    holvane.connect("plc7.invalid", 3240, connect_timeout=1.0)
except holvane.ConnectionLostError as error:
    print(error)
"""
    result = subprocess.run(
        ["unshare", "--net", sys.executable, "-c", code], capture_output=True, text=True, timeout=30, check=False
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "connect('plc7.invalid', 3240): cannot resolve host 'plc7.invalid'"


def test_arguments_are_checked_before_anything_is_sent(peer):
    def responder(tokens):
        axis = tokens[tokens.index("AXIS") + 2] if "AXIS" in tokens else 0.0
        return simple_reply(1.0, status=4 if axis >= 4 else 0)  # four axes

    peer.responder = responder
    c = holvane.connect("127.0.0.1", peer.port)
    try:
        refused = [
            (lambda: c.read_vr(-1), IndexError, "read_vr: index must be 0 to 4294967295, not -1"),
            (lambda: c.vr[-1], IndexError, "read_vr: index must be 0 to 4294967295, not -1"),
            (lambda: c.read_vr(2**32), IndexError, "read_vr: index must be 0 to 4294967295, not 4294967296"),
            (lambda: c.read_vr("1"), TypeError, "read_vr: index must be an int, not str"),
            (lambda: c.read_vr(True), TypeError, "read_vr: index must be an int, not bool"),
            (
                lambda: c.write_vr(1, math.nan),
                ValueError,
                ("write_vr: value nan is not finite; connect with allow_nonfinite=True"),
            ),
            (lambda: c.write_vr(1, float("1e400")), ValueError, "write_vr: value inf is not finite"),
            (lambda: c.write_vr(1, 10**400), ValueError, "write_vr: value"),
            (lambda: c.write_vr(1, "2"), TypeError, "write_vr: value must be a number, not str"),
            (lambda: c.read_vr_block(0, -1), ValueError, "read_vr_block: count must not be negative"),
            (lambda: c.table[2**32 - 1 : 2**32 + 1], IndexError, "read_table_block: the block ends beyond"),
            (lambda: c.vr[1:2:3], ValueError, "vr[a:b] takes no step"),
            (lambda: c.vr[None:2], ValueError, "vr[a:b] needs both bounds"),
            (lambda: c.read_param("", 0), ValueError, "read_param: name must be a name"),
            (lambda: c.read_param("DPOS", -1), IndexError, "read_param: axis must not be negative, not -1"),
            (lambda: c.axis(-2), IndexError, "axis: axis must not be negative, not -2"),
            (lambda: c.axis(0).move_abs(math.inf), ValueError, "move_abs: value inf is not finite"),
            (lambda: c.axis(0).cancel(-1), ValueError, "cancel: mode must be 0 to"),
            (lambda: c.execute(5), TypeError, "execute: line must be str or bytes, not int"),
            (lambda: c.batch().write_param("SPEED", 0, math.nan), ValueError, "write_param: value nan"),
            (lambda: c.batch().read_vr(-3), IndexError, "read_vr: index must be 0 to"),
        ]
        for call, kind, text in refused:
            with pytest.raises(kind) as error:
                call()
            assert text in str(error.value)
            assert "incompatible function arguments" not in str(error.value)
        assert peer.take() == []  # nothing went out

        assert c.axis_count() == 4  # known from now on
        peer.take()
        with pytest.raises(IndexError, match=r"read_param: axis 4 is beyond the controller's 4 axes \(0 to 3\)"):
            c.read_param("DPOS", 4)
        with pytest.raises(IndexError, match="axis 9 is beyond"):
            c.axis(9)
        assert peer.take() == []
        assert c.read_param("DPOS", 3) == 1.0
    finally:
        c.close()

    # Asked for explicitly, NaN and infinities are sent as they are.
    with holvane.connect("127.0.0.1", peer.port, allow_nonfinite=True) as c:
        peer.responder = lambda tokens: simple_reply()
        c.write_vr(1, math.nan)
        c.vr[2] = -math.inf
        written = [tokens[-1] for tokens in sent(peer, "ASSIGN")]
        assert math.isnan(written[0]) and written[1] == -math.inf
