"""Every Connection method through the recording stand-in plug-in: argument
conversion, what reaches the plug-in, and what comes back."""

import gc
import threading
import time

import pytest


def test_without_context_every_method_returns_connection_context(hv):
    c = hv.Connection()
    E = hv.ErrorCode.ConnectionContext
    calls = [
        lambda: c.Connect(),
        lambda: c.Disconnect(),
        lambda: c.DestroyContext(),
        lambda: c.WriteStringAttribute("TCP_HostName", "x"),
        lambda: c.WriteIntAttribute("TCP_Port", 1),
        lambda: c.ReadStringAttribute("TCP_HostName", ""),
        lambda: c.ReadIntAttribute("TCP_Port", 0),
        lambda: c.Ex(),
        lambda: c.Ex(1),
        lambda: c.Cancel(1),
        lambda: c.Cancel(1, 2),
        lambda: c.Execute("x"),
        lambda: c.SetAxisBase(0),
        lambda: c.SetMultiAxisBase(0, 1),
        lambda: c.SetMultiAxisBase(0, 5),
        lambda: c.Datum(1, 0),
        lambda: c.DefPos(1.0, 0),
        lambda: c.Forward(0),
        lambda: c.Reverse(0),
        lambda: c.MoveRel(1.0, 0),
        lambda: c.MoveRelSp(1.0, 0),
        lambda: c.MoveAbs(1.0, 0),
        lambda: c.MoveAbsSp(1.0, 0),
        lambda: c.MoveAbs([1.0]),
        lambda: c.WriteTableValue(0, 1.0),
        lambda: c.WriteMultiTableValues(0, 1, 1.0),
        lambda: c.ReadTableValue(0, 0.0),
        lambda: c.ReadMultiTableValues(0, 1, 0.0),
        lambda: c.WriteVrValue(0, 1.0),
        lambda: c.WriteMultiVrValues(0, 1, 1.0),
        lambda: c.ReadVrValue(0, 0.0),
        lambda: c.ReadMultiVrValues(0, 1, 0.0),
        lambda: c.WriteAxisParam("SPEED", 0, 1.0),
        lambda: c.ReadAxisParam("SPEED", 0, 0.0),
        lambda: c.InvertIN(1, True),
        lambda: c.WriteVrString(1, "a"),
    ]
    for call in calls:
        result = call()
        assert result == E and isinstance(result, hv.ErrorCode)
    assert c.ReadVrValue(0) == (E, 0.0)
    assert c.ReadMultiVrValues(0, 3) == (E, [])
    assert c.ReadAxisParam("SPEED", 0) == (E, 0.0)
    assert c.ReadStringAttribute("TCP_HostName") == (E, "")
    assert c.Dir() == (E, [])
    assert c.ReadVrString(3) == (E, "")
    assert c.IsConnected() is False


def test_arguments_that_do_not_convert_raise_type_error(hv, fake):
    c, plugin = fake
    bad = [
        lambda: c.ReadVrValue(-1),
        lambda: c.WriteVrValue(-1, 1.0),
        lambda: c.WriteVrValue("1", 1.0),
        lambda: c.WriteVrValue(1, "1.0"),
        lambda: c.Datum(-1, 0),
        lambda: c.Ex(1, 2, 3),
        lambda: c.SetAxisBase(1.5),
        lambda: c.Forward(2**31),
        lambda: c.ReadVrValue(2**32),
        lambda: c.MoveAbs("abc"),
        lambda: c.MoveAbs(1.0),
        lambda: c.InvertIN(1, "yes"),
        lambda: c.WriteIntAttribute("TCP_Port", 2**63),
        lambda: c.SetEventHandler(5),
        lambda: c.ReadMultiVrValues(0, 2, (1.0, 2.0)),
    ]
    for call in bad:
        with pytest.raises(TypeError):
            call()
    assert plugin.take() == []


def test_simple_operations_reach_the_plugin_unchanged(hv, fake):
    c, plugin = fake
    ok = hv.ErrorCode.NoError
    results = [
        c.Ex(),
        c.Ex(2),
        c.Cancel(1),
        c.Cancel(1, 4),
        c.Execute("VR(1)=2"),
        c.Execute(""),
        c.SetAxisBase(0),
        c.Datum(3, 0),
        c.Forward(2),
        c.Reverse(-1),
        c.InvertIN(7, True),
        c.InvertIN(7, False),
        c.WriteAxisParam("SPEED", 2, 100),
        c.WriteTableValue(3, 2.5),
        c.WriteVrValue(10, 12.5),
        c.DefPos(1.5, 0),
        c.DefPos(2, 0),
        c.MoveRel(10.5, 1),
        c.MoveRelSp(-1, 3),
        c.MoveAbs(1e300, 15),
        c.MoveAbsSp(0.1, 0),
    ]
    assert all(r == ok for r in results)
    assert plugin.take() == [
        "Ex()",
        "Ex(2)",
        "Cancel(1)",
        "Cancel(1,4)",
        "Execute(VR(1)=2)",
        "Execute()",
        "SetAxisBase(0)",
        "Datum(3,0)",
        "Forward(2)",
        "Reverse(-1)",
        "InvertIN(7,true)",
        "InvertIN(7,false)",
        "WriteAxisParam(SPEED,2,100)",
        "WriteTableValue(3,2.5)",
        "WriteVrValue(10,12.5)",
        "DefPos(1.5,0)",
        "DefPos(2,0)",
        "MoveRel(10.5,1)",
        "MoveRelSp(-1,3)",
        "MoveAbs(1.0000000000000001e+300,15)",
        "MoveAbsSp(0.10000000000000001,0)",
    ]


def test_result_codes_come_back_unchanged(hv, fake):
    c, plugin = fake
    c.WriteIntAttribute("result", 0x400000005)
    assert c.Forward(1) == 0x400000005
    code, value = c.ReadVrValue(4)
    assert code == 0x400000005 and int(code) >> 32 == 4 and value == 6.0
    assert c.ReadVrValue(4, 0.0) == 0x400000005
    c.WriteIntAttribute("result", int(hv.ErrorCode.Timeout))
    assert c.Dir()[0] == hv.ErrorCode.Timeout
    assert c.ReadMultiVrValues(0, 2) == (hv.ErrorCode.Timeout, [])


def test_read_methods_return_values_or_only_the_code(hv, fake):
    c, plugin = fake
    ok = hv.ErrorCode.NoError
    assert c.ReadVrValue(3) == (ok, 4.5)
    r = c.ReadVrValue(3, 0.0)
    assert r == ok and isinstance(r, hv.ErrorCode)
    assert c.ReadVrValue(3, 7) == ok  # an int placeholder converts
    assert c.ReadTableValue(4) == (ok, 4.5)
    assert c.ReadTableValue(4, 0.0) == ok
    assert c.ReadAxisParam("SPEED", 2) == (ok, 25.0)
    assert c.ReadAxisParam("SPEED", 2, 0.0) == ok
    assert c.ReadMultiVrValues(2, 3) == (ok, [3.0, 4.5, 6.0])
    assert c.ReadMultiTableValues(1, 2) == (ok, [1.5, 2.5])
    assert c.ReadMultiVrValues(2, 0) == (ok, [])
    assert c.WriteVrValue(8, -0.25) == ok
    assert c.ReadVrValue(8) == (ok, -0.25)
    # Attributes.
    assert c.WriteStringAttribute("TCP_HostName", "127.0.0.42") == ok
    assert c.ReadStringAttribute("TCP_HostName") == (ok, "127.0.0.42")
    assert c.ReadStringAttribute("TCP_HostName", "") == ok
    assert c.WriteIntAttribute("TCP_Port", -5) == ok
    assert c.ReadIntAttribute("TCP_Port") == (ok, -5)
    assert c.ReadIntAttribute("TCP_Port", 0) == ok
    assert c.ReadIntAttribute("nothing") == (hv.ErrorCode.ConnectionUnknownAttrib, 0)
    assert c.ReadStringAttribute("nothing") == (hv.ErrorCode.ConnectionUnknownAttrib, "")
    # bytes pass byte for byte; bytes that are not UTF-8 come back as escapes.
    assert c.WriteStringAttribute("raw", b"a\x00\xff") == ok
    code, text = c.ReadStringAttribute("raw")
    assert text.encode("utf-8", "surrogateescape") == b"a\x00\xff"


def test_pointer_parameters_never_exceed_what_was_given(hv, fake):
    c, plugin = fake
    ok, bad = hv.ErrorCode.NoError, hv.ErrorCode.BadArgument
    # One number backs a count of 0 or 1 only.
    assert c.WriteMultiVrValues(5, 1, 2.5) == ok
    assert c.WriteMultiVrValues(5, 0, 2.5) == ok
    assert c.WriteMultiVrValues(5, 2, 2.5) == bad
    assert c.WriteMultiTableValues(5, 1, 2.5) == ok
    assert c.WriteMultiTableValues(5, 3, 2.5) == bad
    assert c.ReadMultiVrValues(5, 1, 0.0) == ok
    assert c.ReadMultiVrValues(5, 2, 0.0) == bad
    assert c.ReadMultiTableValues(5, 2, 0.0) == bad
    assert c.SetMultiAxisBase(3, 1) == ok
    assert c.SetMultiAxisBase(3, 2) == bad
    # A sequence backs as many as it holds; extra items are not passed on.
    assert c.WriteMultiVrValues(1, 3, [1, 2.5, 3, 4]) == ok
    assert c.WriteMultiVrValues(1, 3, (1.0, 2.0)) == bad
    assert c.WriteMultiTableValues(0, 2, [7.0, 8.0]) == ok
    assert c.SetMultiAxisBase([0, 1, 2], 3) == ok
    assert c.SetMultiAxisBase([0, 1], 3) == bad
    assert plugin.take() == [
        "WriteMultiVrValues(5,1,[2.5])",
        "WriteMultiVrValues(5,0,[])",
        "WriteMultiTableValues(5,1,[2.5])",
        "ReadMultiVrValues(5,1)",
        "SetMultiAxisBase([3],1)",
        "WriteMultiVrValues(1,3,[1,2.5,3])",
        "WriteMultiTableValues(0,2,[7,8])",
        "SetMultiAxisBase([0,1,2],3)",
    ]
    # A list given to a read receives the values, only when the read succeeds.
    target = [0.0, 0.0, 0.0, "keep"]
    assert c.ReadMultiVrValues(2, 3, target) == ok
    assert target == [3.0, 4.5, 6.0, "keep"]
    short = [9.0]
    assert c.ReadMultiVrValues(2, 3, short) == bad and short == [9.0]
    c.WriteIntAttribute("result", int(hv.ErrorCode.Timeout))
    target = [1.0, 1.0]
    assert c.ReadMultiTableValues(0, 2, target) == hv.ErrorCode.Timeout and target == [1.0, 1.0]
    # An absurd block is refused instead of allocated.
    assert c.ReadMultiVrValues(0, 2**32 - 1) == (bad, [])


def test_list_moves_send_the_list_form(hv, fake):
    c, plugin = fake
    ok = hv.ErrorCode.NoError
    assert c.MoveRel([1, 2.5]) == ok
    assert c.MoveRelSp([0.5]) == ok
    assert c.MoveAbs([1.0, 2.0, 3.0]) == ok
    assert c.MoveAbsSp((4.0, 5.0)) == ok
    assert c.DefPos([0.0, 0.0]) == ok
    assert c.MoveAbs([]) == ok
    # Two numbers are still the single-axis form.
    assert c.MoveAbs(1, 2) == ok
    assert plugin.take() == [
        "MoveRel[1,2.5]",
        "MoveRelSp[0.5]",
        "MoveAbs[1,2,3]",
        "MoveAbsSp[4,5]",
        "DefPos[0,0]",
        "MoveAbs[]",
        "MoveAbs(1,2)",
    ]


def test_dir_and_vr_strings(hv, fake):
    c, plugin = fake
    ok = hv.ErrorCode.NoError
    code, files = c.Dir()
    assert code == ok and len(files) == 2
    first, second = files
    assert (
        first.name,
        first.type,
        first.size,
        first.compiled_size,
        first.autorun_process,
        first.editable,
        first.autorun,
    ) == ("PROG1", 2, 100, 80, -1, True, False)
    assert second.name == "N" * 131 and second.size == 4000000000 and second.autorun_process == 3
    assert second.autorun is True and second.editable is False
    assert "PROG1" in repr(first)
    with pytest.raises(AttributeError):
        first.size = 1

    text = "Grüße, 機械 ✓"
    assert c.WriteVrString(7, text) == ok
    assert c.ReadVrString(7) == (ok, text)
    # Longer than one packet: reassembled in order.
    long_text = "".join(chr(0x41 + i % 26) + "é" for i in range(5000))
    assert c.WriteVrString(8, long_text) == ok
    assert c.ReadVrString(8) == (ok, long_text)
    assert c.ReadVrString(9) == (ok, "")
    assert c.WriteVrString(10, b"\x1b\x01\xff") == ok
    code, raw = c.ReadVrString(10)
    assert raw.encode("utf-8", "surrogateescape") == b"\x1b\x01\xff"
    log = plugin.take()
    assert log[0] == "Dir" and "WriteVrString(8,15000)" in log and "ReadVrString(8,4096)" in log


def test_is_connected_follows_the_plugin(hv, fake):
    c, plugin = fake
    assert c.IsConnected() is False
    assert c.Connect() == hv.ErrorCode.NoError
    assert c.IsConnected() is True
    assert c.Disconnect() == hv.ErrorCode.NoError
    assert c.IsConnected() is False


def test_with_releases_the_context(hv, fake_plugin):
    before = fake_plugin.live_objects()
    with hv.Connection() as c:
        assert c.CreateContext(hv.ConnectionType.QUENTA) == hv.ErrorCode.NoError
        assert c.Connect() == hv.ErrorCode.NoError
        assert fake_plugin.live_objects() == before + 1
    assert fake_plugin.live_objects() == before
    assert c.Connect() == hv.ErrorCode.ConnectionContext
    assert fake_plugin.take()[-2:] == ["Disconnect", "DeleteMe"]

    with pytest.raises(RuntimeError), hv.Connection() as c:
        c.CreateContext(hv.ConnectionType.QUENTA)
        raise RuntimeError("inside")
    assert fake_plugin.live_objects() == before
    fake_plugin.take()


def test_dropping_the_object_releases_its_context(hv, fake_plugin):
    before = fake_plugin.live_objects()
    c = hv.Connection()
    c.CreateContext(hv.ConnectionType.QUENTA)
    c.Connect()
    del c
    gc.collect()
    assert fake_plugin.live_objects() == before
    assert fake_plugin.take()[-2:] == ["Disconnect", "DeleteMe"]


def test_events_reach_python_from_any_thread(hv, fake):
    c, plugin = fake
    received = []
    c.SetEventHandler(lambda kind, code, text: received.append((kind, code, text, threading.get_ident())))
    assert c.Execute("events") == hv.ErrorCode.NoError
    assert [r[:3] for r in received] == [
        (hv.EventType.Message, 0, "from caller"),
        (hv.EventType.Error, 0x400000005, "from worker"),
        (hv.EventType.Message, 7, "bad \ufffd utf8"),
        (hv.EventType.Receive, 9, "last"),
    ]
    assert received[0][3] == threading.get_ident() and received[1][3] != threading.get_ident()
    # None stops delivery.
    received.clear()
    c.SetEventHandler(None)
    c.Execute("events")
    assert received == []


def test_handler_exceptions_are_reported_not_propagated(hv, fake, monkeypatch):
    c, plugin = fake
    reported = []
    monkeypatch.setattr("sys.unraisablehook", lambda info: reported.append(info.exc_type))
    calls = []

    def handler(kind, code, text):
        calls.append(code)
        raise ValueError("handler failed")

    c.SetEventHandler(handler)
    assert c.Execute("events") == hv.ErrorCode.NoError
    assert len(calls) == 4 and reported == [ValueError] * 4


def test_event_handler_survives_its_connection(hv, fake_plugin):
    received = []
    c = hv.Connection()
    c.SetEventHandler(lambda *e: received.append(e))
    c.CreateContext(hv.ConnectionType.QUENTA)
    c.Connect()
    assert received and received[0][2] == "Connected to fake"
    del c
    gc.collect()
    fake_plugin.take()


def test_threads_run_while_a_call_waits(hv, fake):
    c, plugin = fake
    c.WriteIntAttribute("block_ms", 1500)
    results = {}

    def blocked(name):
        results[name] = c.ReadVrValue(999)

    threads = [threading.Thread(target=blocked, args=(n,)) for n in ("a", "b")]
    start = time.monotonic()
    for t in threads:
        t.start()
    # Python keeps running and the same Connection serves other calls meanwhile.
    ticks = 0
    while time.monotonic() - start < 0.5:
        ticks += 1
    assert c.ReadVrValue(2) == (hv.ErrorCode.NoError, 3.0)
    for t in threads:
        t.join(10)
    elapsed = time.monotonic() - start
    assert results == {"a": (hv.ErrorCode.Timeout, 0.0), "b": (hv.ErrorCode.Timeout, 0.0)}
    assert ticks > 1000
    # Both blocked calls were inside the plug-in at the same time.
    assert elapsed < 2.9
    assert plugin.max_in_flight() >= 2


def test_destroy_while_a_call_is_in_flight(hv, fake_plugin):
    c = hv.Connection()
    c.CreateContext(hv.ConnectionType.QUENTA)
    c.WriteIntAttribute("block_ms", 30000)
    c.Connect()
    result = []
    worker = threading.Thread(target=lambda: result.append(c.ReadVrValue(999)))
    worker.start()
    time.sleep(0.2)
    start = time.monotonic()
    assert c.DestroyContext() == hv.ErrorCode.NoError
    # The disconnect cut the waiting call short; then the context was deleted.
    assert time.monotonic() - start < 5
    worker.join(5)
    assert not worker.is_alive()
    assert result == [(hv.ErrorCode.Fail, 0.0)]
    assert fake_plugin.live_objects() == 0
    assert c.ReadVrValue(1)[0] == hv.ErrorCode.ConnectionContext
    log = fake_plugin.take()
    assert log.index("ReadVrValue(999)") < log.index("DeleteMe")


def test_destroy_while_connect_is_in_flight(hv, fake_plugin):
    c = hv.Connection()
    c.CreateContext(hv.ConnectionType.QUENTA)
    c.WriteIntAttribute("connect_ms", 800)
    result = []
    worker = threading.Thread(target=lambda: result.append(c.Connect()))
    worker.start()
    time.sleep(0.2)
    # Not yet connected: the context waits for the Connect, then disconnects
    # the link it opened and deletes the connection.
    assert c.DestroyContext() == hv.ErrorCode.NoError
    worker.join(5)
    assert result == [hv.ErrorCode.NoError]
    assert fake_plugin.live_objects() == 0
    assert fake_plugin.take()[-3:] == ["Connect", "Disconnect", "DeleteMe"]


def test_handler_cannot_wait_on_its_own_connection(hv, fake, fake_plugin):
    c, plugin = fake
    other = hv.Connection()
    assert other.CreateContext(hv.ConnectionType.QUENTA) == hv.ErrorCode.NoError
    seen = []

    def handler(kind, code, text):
        if text == "from worker":
            # Its own connection would wait for the thread running this handler.
            seen.append((c.ReadVrValue(2), c.DestroyContext(), other.ReadVrValue(2)))

    c.SetEventHandler(handler)
    assert c.Execute("events") == hv.ErrorCode.NoError
    assert seen == [((hv.ErrorCode.Fail, 0.0), hv.ErrorCode.Fail, (hv.ErrorCode.NoError, 3.0))]
    # Outside the handler the connection is as it was.
    assert c.ReadVrValue(2) == (hv.ErrorCode.NoError, 3.0)
    other.DestroyContext()


def test_connection_takes_no_new_attributes(hv):
    c = hv.Connection()
    with pytest.raises(AttributeError):
        c.anything = 1
