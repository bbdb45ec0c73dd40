"""The holvane client against holvane-sim and a scripted peer: exceptions from
real failures, error texts, logging, values, batches, axes and reconnecting."""

import logging
import socket
import time

import pytest
from conftest import PLUGIN_DIR, require_built, run_python, wait_until

import holvane
from holvane import (
    ConnectionLostError,
    ControllerError,
    HolvaneError,
    HolvaneTimeoutError,
    ProtocolError,
    UnsupportedError,
    error_text,
)


@pytest.fixture
def ctl(sim):
    host, port = sim
    with holvane.connect(host, port) as c:
        yield c


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_each_exception_comes_from_a_real_failure(sims):
    one = sims()
    c = holvane.connect(one.host, one.port)

    with pytest.raises(ControllerError) as bad_axis:
        c.read_param("DPOS", 99)
    assert bad_axis.value.number == 4 and bad_axis.value.code == 0x400000004
    assert "read_param('DPOS', 99)" in str(bad_axis.value) and "controller error 4" in str(bad_axis.value)

    with pytest.raises(UnsupportedError) as unsupported:
        c.table[3] = 1.0
    assert unsupported.value.code == 0x100000001 and "write_table" in str(unsupported.value)
    assert c.connected  # neither failure touched the link

    one.close()  # the controller goes away
    with pytest.raises(ConnectionLostError) as lost:
        c.read_vr(1)
    assert isinstance(lost.value, ConnectionError) and isinstance(lost.value, HolvaneError)
    assert wait_until(lambda: not c.connected, 2.0)
    c.close()
    with pytest.raises(ConnectionLostError, match="closed"):
        c.read_vr(1)
    c.close()  # twice is harmless

    with pytest.raises(ConnectionLostError) as refused:
        holvane.connect("127.0.0.1", closed_port())
    assert refused.value.code == 0x200000000 | 111  # ECONNREFUSED

    unknown = sims("--controller-type", "0")
    with pytest.raises(ProtocolError) as unsupported_type:
        holvane.connect(unknown.host, unknown.port)
    assert unsupported_type.value.code == 0x10000000B

    # The controller closes while sending its token table.
    stopped = sims("--table-stop", "40", "--table-stop-close")
    with pytest.raises(ConnectionLostError):
        holvane.connect(stopped.host, stopped.port)


def test_a_silent_peer_meets_the_short_deadline(peer):
    peer.responder = lambda tokens: None  # answers the connect sequence, then nothing
    c = holvane.connect("127.0.0.1", peer.port, timeout=0.3, deadline=0.8)
    try:
        started = time.monotonic()
        with pytest.raises(HolvaneTimeoutError) as timed_out:
            c.read_vr(7)
        elapsed = time.monotonic() - started
        assert isinstance(timed_out.value, TimeoutError)
        assert timed_out.value.code == 0x100000007 and "read_vr(7)" in str(timed_out.value)
        assert elapsed < 2.0, elapsed
    finally:
        c.close()


def test_error_text_names_every_band():
    assert error_text(0) == "no error"
    assert error_text(0x100000007) == "timed out waiting for the controller"
    assert error_text(holvane.connecting._api.ErrorCode.BadResponse) == "the controller's reply had an unexpected form"
    assert error_text(0x200000068) == "system error 104: Connection reset by peer"
    assert error_text(0x400000004) == "controller error 4"
    assert error_text(0x400000999) == "controller error 2457"
    assert error_text(0x800000001) == "unknown result code 0x800000001"


def test_events_and_trace_lines_go_to_logging_not_stdout(sims, caplog, capfd):
    one = sims()
    capfd.readouterr()
    caplog.set_level(logging.DEBUG, logger="holvane")
    with holvane.connect(one.host, one.port, trace=True) as c:
        c.write_vr(3, 2.5)
        assert c.read_vr(3) == 2.5
        one.close()
        with pytest.raises(ConnectionLostError):
            c.read_vr(3)
    trace = [r for r in caplog.records if r.name == "holvane.trace"]
    assert all(r.levelno == logging.DEBUG for r in trace)
    lines = [r.getMessage() for r in trace]
    assert any(line.startswith("CmdSetVr >> [") for line in lines), lines
    assert any(line.startswith("CmdGetVr << [") for line in lines), lines
    errors = [r for r in caplog.records if r.name == "holvane" and r.levelno == logging.WARNING]
    link = f"{one.host}:{one.port}: "
    assert any(r.getMessage().startswith(link) and "system error" in r.getMessage() for r in errors), [
        r.getMessage() for r in errors
    ]
    assert capfd.readouterr().out == ""

    # An attribute the plug-in does not know fails nothing, and is said once.
    caplog.clear()
    with holvane.connect("127.0.0.1", sims().port) as c:
        for _ in range(2):
            holvane.connecting._set_attribute(c._c, "TCP_NotAThing", 5, "not_a_thing=5")
    unknown = [r for r in caplog.records if "TCP_NotAThing" in r.getMessage()]
    assert len(unknown) == 1 and unknown[0].levelno == logging.WARNING


def test_values_parameters_strings_and_files(ctl):
    ctl.vr[10] = 12.5
    ctl.write_vr(11, -3.25)
    ctl.vr[12:15] = [1.0, 2.0, 3.0]
    assert ctl.vr[10] == 12.5 and ctl.read_vr(11) == -3.25
    assert ctl.vr[10:15] == [12.5, -3.25, 1.0, 2.0, 3.0]
    assert ctl.vr[5:5] == []
    with pytest.raises(ValueError):
        ctl.vr[0:2] = [1.0]
    with pytest.raises(IndexError):
        ctl.vr[-1]

    ctl.execute("TABLE(100)=VR(10)*2:TABLE(101)=7")
    assert ctl.table[100] == 25.0 and ctl.table[100:102] == [25.0, 7.0]

    ctl.write_param("SPEED", 2, 150.0)
    assert ctl.read_param("SPEED", 2) == 150.0
    with pytest.raises(ControllerError) as read_only:
        ctl.write_param("DPOS", 2, 1.0)
    assert read_only.value.number == 5 and "controller error 5" in str(read_only.value)

    ctl.vr_string[20] = "Grüße ✓"
    assert ctl.vr_string[20] == "Grüße ✓"
    files = ctl.files()
    assert files and all(isinstance(f, holvane.FileInfo) and f.name for f in files)
    assert all(set(f.flags) <= {"editable", "autorun"} for f in files)

    info = ctl.info()
    assert info == holvane.ControllerInfo("2", 400, "IEEE 754 64-bit", 16)
    ctl.ex()


def test_batch_of_mixed_items(ctl):
    ctl.vr[30] = 4.5
    with ctl.batch() as b:
        first = b.read_vr(30)
        write = b.write_vr(31, 9.0)
        b.write_param("SPEED", 1, 321.0)
        speed = b.read_param("SPEED", 1)
        table = b.read_table(5)
        assert len(b) == 5
        with pytest.raises(RuntimeError):
            _ = first.value  # filled only when the block ends
    assert (first.value, write.value, speed.value, table.value) == (4.5, None, 321.0, 0.0)
    assert ctl.vr[31] == 9.0

    # A failing item fails alone; the block raises its error afterwards.
    with pytest.raises(ControllerError) as failed, ctl.batch() as b:
        before = b.read_vr(30)
        bad = b.read_param("DPOS", 99)
        after = b.write_vr(32, 1.25)
    assert failed.value.number == 4 and "read_param('DPOS', 99)" in str(failed.value)
    assert before.value == 4.5 and after.value is None and ctl.vr[32] == 1.25
    with pytest.raises(ControllerError):
        _ = bad.value

    # Nothing is sent when the block itself raises.
    with pytest.raises(KeyError), ctl.batch() as b:
        b.write_vr(33, 5.0)
        raise KeyError("stop")
    assert ctl.vr[33] == 0.0


def test_axis_moves_and_waits(ctl):
    x = ctl.axis(3)
    x.speed = 100.0
    x.set_param("ACCEL", 5000.0)
    x.set_param("DECEL", 5000.0)
    x.define_pos(10.0)
    assert x.dpos == 10.0 and x.idle
    x.move_abs(110.0)  # a second at least: still moving when IDLE is read
    assert not x.idle
    x.wait_idle(timeout=20.0)
    assert x.dpos == 110.0 and x.mpos == 110.0 and x.speed == 100.0
    x.speed = 1000.0
    x.move_rel(-20.0)
    x.wait_idle(timeout=20.0)
    assert x.param("DPOS") == 90.0

    x.speed = 1.0
    x.move_rel(1000.0)  # a long one
    started = time.monotonic()
    with pytest.raises(HolvaneTimeoutError, match="axis 3 still moving"):
        x.wait_idle(timeout=0.2)
    assert time.monotonic() - started < 2.0
    x.cancel(2)
    x.wait_idle(timeout=5.0)
    x.forward()
    assert not x.idle
    x.cancel()
    x.wait_idle(timeout=5.0)


def test_long_batches_go_in_pieces_and_results_tell_their_state(ctl):
    from holvane._limits import BATCH_LIMIT

    assert getattr(holvane.connecting._api, "BatchMaxItems", 4096) == BATCH_LIMIT
    ctl.vr[0:10] = [float(i) for i in range(10)]
    with ctl.batch() as b:
        reads = [b.read_vr(i % 10) for i in range(BATCH_LIMIT + 5)]
        pending = reads[0]
        assert repr(pending) == "<BatchResult pending>" and not pending.done and pending.error is None
    assert [r.value for r in reads] == [float(i % 10) for i in range(BATCH_LIMIT + 5)]
    assert reads[-1].done and repr(reads[-1]) == f"<BatchResult {float((BATCH_LIMIT + 4) % 10)}>"

    with pytest.raises(ControllerError), ctl.batch() as b:
        bad = b.read_param("DPOS", 99)
    assert bad.done and isinstance(bad.error, ControllerError) and repr(bad).startswith("<BatchResult error=")


def test_a_plugin_of_the_first_interface_level_takes_batch_items_one_by_one():
    level1 = require_built(PLUGIN_DIR / "level1" / "libVantrel_HolvaneApi-QUENTA-x64.so", "stand-in plug-in")
    # A fresh process, so that the factory finds this library under the QUENTA name.
    result = run_python(f"""
import ctypes
import Vantrel_HolvaneAPI as hv
import holvane
lib = ctypes.CDLL({str(level1)!r})
lib.fake_take_log.restype = ctypes.c_size_t
lib.fake_take_log.argtypes = [ctypes.c_char_p, ctypes.c_size_t]
c = hv.Connection()
assert c.CreateContext(hv.ConnectionType.QUENTA) == hv.ErrorCode.NoError
assert c.Connect() == hv.ErrorCode.NoError
controller = holvane.Controller(c, "stand-in", 0)
lib.fake_take_log(None, 0)
with controller.batch() as b:
    values = [b.read_vr(4), b.write_vr(2, 1.25), b.read_table(3), b.read_param("DPOS", 2)]
print([v.value for v in values])
buffer = ctypes.create_string_buffer(4096)
lib.fake_take_log(buffer, len(buffer))
print(buffer.value.decode().split())
controller.close()
""")
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "[6.0, None, 3.5, 24.0]",
        "['ReadVrValue(4)', 'WriteVrValue(2,1.25)', 'ReadTableValue(3)', 'ReadAxisParam(DPOS,2)']",
    ]


def test_inputs_strings_motion_variants_and_what_objects_show(sims):
    one = sims()
    c = holvane.connect(one.host, one.port)
    assert repr(c) == f"<holvane.Controller {one.host}:{one.port} connected>"
    assert repr(c.vr) == f"<VR values vr[i], vr[a:b] of holvane.Controller {one.host}:{one.port}>"
    assert "TABLE values" in repr(c.table) and "VR strings" in repr(c.vr_string)
    assert c.axis_count() == 16 and repr(c.axis(15)) == "<holvane.Axis 15>"

    c.invert_input(7)
    c.invert_input(7, False)
    with pytest.raises(ControllerError, match=r"invert_input\(4000, True\)"):
        c.invert_input(4000)

    c.write_vr_string(3, b"raw \xff bytes")
    assert c.vr_string[3] == "raw \udcff bytes"  # not UTF-8: surrogate escapes, nothing lost
    assert c.read_vr_string(3).encode("utf-8", "surrogateescape") == b"raw \xff bytes"

    x = c.axis(1)
    x.speed = 1000.0
    c.execute("FORCE_SPEED AXIS(1)=2000")
    x.move_abs(20.0, sp=True)
    x.wait_idle(timeout=10.0)
    x.move_rel(-5.0, sp=True)
    x.wait_idle(timeout=10.0)
    assert x.dpos == 15.0
    x.reverse()
    assert not x.idle
    x.cancel(2)
    x.wait_idle(timeout=10.0)
    assert x.dpos < 15.0
    x.datum(0)
    c.ex(0)

    c.close()
    assert not c.connected and repr(c).endswith("not connected>")
