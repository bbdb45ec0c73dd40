"""The module with the real TCP plug-in against a scripted controller: what
each method puts on the wire and what it makes of the reply."""

import gc
import threading
import time

import pytest
from conftest import connect, sockets, unconnected
from fake_controller import Chunks, simple_reply

OPEN, CLOSE, COMMA = "OPENBRACKETS", "CLOSEBRACKETS", "COMMA"
AXIS_MODIFIER = ["MODIFIER", "AXIS", OPEN]


def test_connect_reports_its_progress_as_events(hv, peer):
    c = hv.Connection()
    received = []
    c.SetEventHandler(lambda kind, code, text: received.append((kind, code, text)))
    assert c.CreateContext(hv.ConnectionType.TCP) == hv.ErrorCode.NoError
    c.WriteStringAttribute("TCP_HostName", "127.0.0.1")
    c.WriteIntAttribute("TCP_Port", peer.port)
    c.WriteIntAttribute("TCP_Trace", 0)
    assert c.ReadStringAttribute("TCP_HostName") == (hv.ErrorCode.NoError, "127.0.0.1")
    assert c.ReadIntAttribute("TCP_Port") == (hv.ErrorCode.NoError, peer.port)
    assert c.ReadIntAttribute("TCP_HostName") == (hv.ErrorCode.ConnectionWrongAttribType, 0)
    assert c.WriteStringAttribute("tcp_hostname", "x") == hv.ErrorCode.ConnectionUnknownAttrib
    assert c.IsConnected() is False
    assert c.Connect() == hv.ErrorCode.NoError
    assert c.IsConnected() is True
    texts = [text for kind, code, text in received if kind == hv.EventType.Message]
    assert texts[0] == "Connected to 127.0.0.1"
    assert "->VR" in texts and "SetControllerType(400)" in texts
    assert any(t.startswith("TOKENTABLE stops successfully with ") for t in texts)
    assert c.DestroyContext() == hv.ErrorCode.NoError
    assert peer.closed_by_peer.wait(5)


def test_values_and_variables_on_the_wire(hv, linked):
    c, peer = linked
    ok = hv.ErrorCode.NoError
    peer.responder = lambda tokens: simple_reply(4.25)
    assert c.WriteVrValue(10, 12.5) == ok
    assert c.ReadVrValue(3) == (ok, 4.25)
    assert c.ReadVrValue(3, 0.0) == ok
    assert c.ReadAxisParam("SPEED", 3) == (ok, 4.25)
    assert c.WriteAxisParam("SPEED", 2, 100) == ok
    assert c.InvertIN(7, True) == ok
    assert c.InvertIN(7, False) == ok
    assert c.SetAxisBase(0) == ok
    assert c.Execute("VR(1)=2") == ok
    assert peer.take() == [
        ["VR", OPEN, 10.0, CLOSE, "ASSIGN", 12.5],
        ["VR", OPEN, 3.0, CLOSE],
        ["VR", OPEN, 3.0, CLOSE],
        [("SYSTEMVARIABLE", "SPEED"), *AXIS_MODIFIER, 3.0, CLOSE],
        [("SYSTEMVARIABLE", "SPEED"), *AXIS_MODIFIER, 2.0, CLOSE, "ASSIGN", 100.0],
        ["INVERT_IN", OPEN, 7.0, COMMA, 4294967295.0, CLOSE],
        ["INVERT_IN", OPEN, 7.0, COMMA, 0.0, CLOSE],
        ["BASE", OPEN, 0.0, CLOSE],
        ["EXECUTE", b"VR(1)=2"],
    ]
    # A parameter the controller does not know never reaches the wire.
    assert c.ReadAxisParam("NOSUCH", 0) == (hv.ErrorCode.Remote_UnknownToken, 0.0)
    # Block writes are not carried out over TCP: no traffic.
    assert c.WriteMultiVrValues(0, 1, 1.0) == hv.ErrorCode.Fail
    assert c.WriteMultiVrValues(0, 2, [1.0, 2.0]) == hv.ErrorCode.Fail
    assert c.WriteTableValue(0, 1.0) == hv.ErrorCode.Fail
    assert c.WriteMultiVrValues(0, 2, 1.0) == hv.ErrorCode.BadArgument
    assert peer.take() == []


def test_controller_errors_keep_the_value(hv, linked):
    c, peer = linked
    peer.responder = lambda tokens: simple_reply(9.5, 5)
    code, value = c.ReadVrValue(1)
    assert code == 0x400000005 and value == 9.5
    assert c.Forward(0) == 0x400000005
    peer.responder = lambda tokens: simple_reply(0.0, 65539)
    assert c.MoveAbs(1.0, 0) == 0x400000003


def test_motion_requests(hv, linked):
    c, peer = linked
    ok = hv.ErrorCode.NoError
    assert c.MoveRel(10.5, 1) == ok
    assert c.MoveAbs([1, 2, 3]) == ok
    assert c.MoveRelSp([0.5, -0.5]) == ok
    assert c.MoveAbsSp([7.0]) == ok
    assert c.DefPos([0, 0]) == ok
    assert c.DefPos(2, 0) == ok
    assert c.MoveAbs([]) == ok
    assert c.Forward(2) == ok
    assert c.Reverse(-1) == ok
    assert c.Datum(3, 0) == ok
    assert c.Cancel(1) == ok
    assert c.Cancel(1, 4) == ok
    assert peer.take() == [
        ["MOVE", OPEN, 10.5, CLOSE, *AXIS_MODIFIER, 1.0, CLOSE],
        ["MOVEABS", OPEN, 1.0, COMMA, 2.0, COMMA, 3.0, CLOSE],
        ["MOVESP", OPEN, 0.5, COMMA, -0.5, CLOSE],
        ["MOVEABSSP", OPEN, 7.0, CLOSE],
        ["DEFPOS", OPEN, 0.0, COMMA, 0.0, CLOSE],
        ["DEFPOS", OPEN, 2.0, CLOSE, *AXIS_MODIFIER, 0.0, CLOSE],
        ["MOVEABS"],
        ["FORWARD", *AXIS_MODIFIER, 2.0, CLOSE],
        ["REVERSE"],
        ["DATUM", OPEN, 3.0, CLOSE, *AXIS_MODIFIER, 0.0, CLOSE],
        ["CANCEL", OPEN, 1.0, CLOSE],
        ["CANCEL", OPEN, 1.0, CLOSE, *AXIS_MODIFIER, 4.0, CLOSE],
    ]


def test_ex_and_blocks(hv, linked):
    c, peer = linked
    ok = hv.ErrorCode.NoError
    peer.responder = lambda tokens: b"OK\x1d" + simple_reply()
    assert c.Ex() == ok
    assert c.Ex(1) == ok
    peer.responder = lambda tokens: b"OK\x0d" + simple_reply()
    assert c.Ex() == hv.ErrorCode.BadResponse
    # Resynchronise: the last reply's numbers were left unread.
    c.Disconnect()
    assert c.Connect() == ok
    peer.take()

    peer.responder = lambda tokens: Chunks([simple_reply(), b"1,k2,7.5,-3,\r\n"])
    assert c.ReadMultiVrValues(0, 4) == (ok, [1.0, 7.5, 7.5, -3.0])
    target = [0.0] * 5
    assert c.ReadMultiVrValues(0, 4, target) == ok and target == [1.0, 7.5, 7.5, -3.0, 0.0]
    peer.responder = lambda tokens: Chunks([simple_reply(), b"#,2.5,\r\n"])
    code, values = c.ReadMultiTableValues(1000, 2)
    assert code == ok and values[1] == 2.5 and values[0] == pytest.approx(3.40282343e35, rel=1e-7)
    assert c.ReadMultiVrValues(0, 0) == (ok, [])
    assert peer.take() == [
        ["VRVALUES", OPEN, 0.0, COMMA, 3.0, COMMA, 1.0, CLOSE],
        ["VRVALUES", OPEN, 0.0, COMMA, 3.0, COMMA, 1.0, CLOSE],
        ["TABLEVALUES", OPEN, 1000.0, COMMA, 1001.0, COMMA, 1.0, CLOSE],
    ]
    # A controller error on the leading reply leaves the caller's list alone.
    peer.responder = lambda tokens: simple_reply(0, 12)
    target = [5.0, 5.0]
    assert c.ReadMultiVrValues(0, 2, target) == 0x40000000C and target == [5.0, 5.0]
    assert c.ReadMultiVrValues(0, 2) == (0x40000000C, [])


def test_directory_and_vr_strings(hv, linked):
    c, peer = linked
    ok = hv.ErrorCode.NoError
    peer.responder = lambda tokens: (
        b"RAM\r\nPROG1,100,80,-1,2,1,0\r\nbad,x,1,1,1,1,1\r\nSUB,5,4,3,1,0,1\r\nOK\r\n" + simple_reply()
    )
    code, files = c.Dir()
    assert code == hv.ErrorCode.BadResponse
    assert [(f.name, f.size, f.compiled_size, f.autorun_process, f.type, f.editable, f.autorun) for f in files] == [
        ("PROG1", 100, 80, -1, 2, True, False),
        ("SUB", 5, 4, 3, 1, False, True),
    ]

    text = "Grüße ✓"
    data = text.encode()
    peer.responder = lambda tokens: simple_reply()
    assert c.WriteVrString(5, text) == ok
    peer.responder = lambda tokens: f"{len(data)}#".encode() + data + simple_reply()
    assert c.ReadVrString(5) == (ok, text)
    peer.responder = lambda tokens: b"0#" + simple_reply()
    assert c.ReadVrString(6) == (ok, "")
    big = bytes(range(32, 127)) * 100
    peer.responder = lambda tokens: f"{len(big)}#".encode() + big + simple_reply()
    assert c.ReadVrString(7) == (ok, big.decode())
    requests = peer.take()
    assert requests[0] == ["DIR", b"B"]
    assert requests[1] == ["VR", OPEN, 5.0, CLOSE, "ASSIGN", data, "EOX"]
    assert requests[2][:6] == ["PRINT", "LEN", OPEN, "VRSTRING", OPEN, 5.0]


def test_calls_wait_without_holding_up_python(hv, peer):
    slow_first = threading.Event()

    def responder(tokens):
        if tokens == ["VR", OPEN, 1.0, CLOSE]:
            slow_first.set()
            time.sleep(1.0)
            return simple_reply(1.0)
        return simple_reply(2.0)

    peer.responder = responder
    a = connect(hv, "127.0.0.1", peer.port)
    b = connect(hv, "127.0.0.1", peer.port)
    try:
        result = []
        worker = threading.Thread(target=lambda: result.append(a.ReadVrValue(1)))
        start = time.monotonic()
        worker.start()
        assert slow_first.wait(5)
        ticks = 0
        while time.monotonic() - start < 0.5:
            ticks += 1
        # Another connection gets its answer while the first still waits.
        assert b.ReadVrValue(2) == (hv.ErrorCode.NoError, 2.0)
        assert worker.is_alive()
        worker.join(10)
        assert result == [(hv.ErrorCode.NoError, 1.0)]
        assert ticks > 1000
    finally:
        a.DestroyContext()
        b.DestroyContext()


def test_threads_share_one_connection(hv, linked):
    c, peer = linked
    peer.responder = lambda tokens: simple_reply(tokens[2] * 2 if tokens[:2] == ["VR", OPEN] else 0.0)
    results = {}

    def reader(index):
        results[index] = [c.ReadVrValue(index) for _ in range(20)]

    threads = [threading.Thread(target=reader, args=(i,)) for i in range(1, 5)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(20)
    for index, values in results.items():
        assert values == [(hv.ErrorCode.NoError, index * 2.0)] * 20


def test_dropping_a_connected_object_closes_its_socket(hv, peer):
    before = sockets()
    c = connect(hv, "127.0.0.1", peer.port)
    # Our socket and the scripted controller's end of it.
    opened = sockets() - before
    assert len(opened) == 2
    del c
    gc.collect()
    assert peer.closed_by_peer.wait(5)
    assert not opened & sockets()


def test_destroy_cuts_short_a_call_waiting_for_the_controller(hv, linked):
    c, peer = linked
    peer.responder = lambda tokens: None  # never answers
    # A handler that needs the interpreter lock while the link is torn down.
    events = []
    c.SetEventHandler(lambda kind, code, text: (time.sleep(0.01), events.append(code)))
    result = []
    worker = threading.Thread(target=lambda: result.append(c.ReadVrValue(3)))
    worker.start()
    assert peer.wait_requests(1)
    start = time.monotonic()
    assert c.DestroyContext() == hv.ErrorCode.NoError
    worker.join(8)
    assert not worker.is_alive() and time.monotonic() - start < 8
    assert result and result[0][0] != hv.ErrorCode.NoError
    assert peer.closed_by_peer.wait(5)
    assert c.ReadVrValue(3)[0] == hv.ErrorCode.ConnectionContext


def test_controller_going_away_gives_an_error_not_a_hang(hv, linked):
    c, peer = linked
    peer.responder = lambda tokens: None
    events = []
    c.SetEventHandler(lambda kind, code, text: events.append((kind, code)))
    result = []
    worker = threading.Thread(target=lambda: result.append(c.ReadVrValue(3)))
    worker.start()
    assert peer.wait_requests(1)
    peer.drop_clients()
    worker.join(8)
    assert not worker.is_alive()
    assert result[0][0] != hv.ErrorCode.NoError
    # Later calls fail at once too.
    assert c.ReadVrValue(3)[0] != hv.ErrorCode.NoError
    # The reader thread reported the failure as an event.
    assert any(kind == hv.EventType.Error for kind, code in events)


def test_connect_to_a_closed_port_fails_with_a_system_error(hv):
    import socket

    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    c = unconnected(hv, "127.0.0.1", port)
    code = c.Connect()
    assert int(code) >> 32 == 2 and int(code) & 0xFFFFFFFF == 111  # ECONNREFUSED
    assert c.IsConnected() is False
    assert c.DestroyContext() == hv.ErrorCode.NoError


@pytest.mark.slow
def test_silent_controller_times_out(hv, linked):
    c, peer = linked
    peer.responder = lambda tokens: None
    start = time.monotonic()
    code, value = c.ReadVrValue(3)
    assert code == hv.ErrorCode.Timeout
    assert 9 < time.monotonic() - start < 30


def test_exit_with_a_live_connection_is_clean(peer):
    from conftest import run_python

    # Neither destroyed nor dropped: the interpreter's exit releases it.
    result = run_python(
        f"""
import Vantrel_HolvaneAPI as hv
events = []
keep = hv.Connection()
keep.SetEventHandler(lambda *e: events.append(e))
keep.CreateContext(hv.ConnectionType.TCP)
keep.WriteStringAttribute("TCP_HostName", "127.0.0.1")
keep.WriteIntAttribute("TCP_Port", {peer.port})
keep.WriteIntAttribute("TCP_Trace", 0)
print(keep.Connect(), flush=True)
""",
        timeout=30,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ErrorCode.NoError"
    assert peer.closed_by_peer.wait(5)
