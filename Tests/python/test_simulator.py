"""End to end: the module, the TCP plug-in and holvane-sim."""

import gc
import threading
import time

import pytest
from conftest import connect, run_example, sockets

OK = 0


@pytest.fixture
def c(hv, sim):
    connection = connect(hv, *sim)
    yield connection
    connection.DestroyContext()


def test_variables_round_trip(hv, c):
    values = {0: 12.5, 1: -3.25, 2: 1e300, 3: 5e-324, 4: 0.1, 65535: 42.0}
    for index, value in values.items():
        assert c.WriteVrValue(index, value) == OK
    for index, value in values.items():
        assert c.ReadVrValue(index) == (OK, value)
    code, block = c.ReadMultiVrValues(0, 5)
    assert code == OK and block == [values[i] for i in range(5)]
    # Long runs of equal values and blocks larger than one reply cycle.
    code, zeros = c.ReadMultiVrValues(100, 3000)
    assert code == OK and zeros == [0.0] * 3000
    for i in range(200, 260):
        c.WriteVrValue(i, i / 7)
    code, block = c.ReadMultiVrValues(200, 60)
    assert code == OK and block == [i / 7 for i in range(200, 260)]
    assert c.Execute("VR(7)=(2+4)*3/2") == OK
    assert c.ReadVrValue(7) == (OK, 9.0)
    assert c.Execute("THIS IS NOT A LINE") != OK
    code, tables = c.ReadMultiTableValues(0, 3)
    assert code == OK and len(tables) == 3
    assert c.Execute("TABLE(2)=1.5") == OK
    assert c.ReadTableValue(2) == (OK, 1.5)


def test_axis_parameters_and_motion(hv, c):
    assert c.WriteAxisParam("SPEED", 1, 400.0) == OK
    assert c.ReadAxisParam("SPEED", 1) == (OK, 400.0)
    assert c.DefPos(0.0, 1) == OK
    assert c.MoveAbs(50.0, 1) == OK
    positions = []
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        code, dpos = c.ReadAxisParam("DPOS", 1)
        assert code == OK
        positions.append(dpos)
        if dpos == 50.0:
            break
        time.sleep(0.02)
    assert positions[-1] == 50.0
    # It travelled: positions rose step by step rather than jumping.
    assert len(positions) > 3 and positions == sorted(positions) and any(0 < p < 50 for p in positions)
    code, mpos = c.ReadAxisParam("MPOS", 1)
    assert code == OK and mpos == pytest.approx(50.0, abs=1e-6)
    # A read-only parameter refuses a write with a controller error.
    code = c.WriteAxisParam("MPOS", 1, 3.0)
    assert int(code) >> 32 == 4
    assert c.ReadAxisParam("NO_SUCH_PARAMETER", 0) == (hv.ErrorCode.Remote_UnknownToken, 0.0)


def test_list_moves_drive_the_base_axes(hv, c):
    assert c.SetAxisBase(0) == OK
    assert c.DefPos([0.0, 0.0]) == OK
    for axis in (0, 1):
        assert c.WriteAxisParam("SPEED", axis, 1000.0) == OK
    assert c.MoveAbs([3.0, 4.0]) == OK
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        d0, d1 = c.ReadAxisParam("DPOS", 0)[1], c.ReadAxisParam("DPOS", 1)[1]
        if (d0, d1) == (3.0, 4.0):
            break
        time.sleep(0.02)
    assert (d0, d1) == (3.0, 4.0)


def test_directory_strings_and_ex(hv, c):
    code, files = c.Dir()
    assert code == OK and files
    assert all(isinstance(f.name, str) and f.name for f in files)
    text = "Grüße, 機械 ✓ " * 50
    assert c.WriteVrString(30, text) == OK
    assert c.ReadVrString(30) == (OK, text)
    assert c.WriteVrString(31, "") == OK
    assert c.ReadVrString(31) == (OK, "")
    assert c.WriteVrString(32, b"esc\x1b one\x01 end") == OK
    code, raw = c.ReadVrString(32)
    assert code == OK and raw.encode("utf-8", "surrogateescape") == b"esc\x1b one\x01 end"
    assert c.Ex() == OK
    assert c.InvertIN(3, True) == OK and c.InvertIN(3, False) == OK


def test_parallel_callers(hv, sim):
    connections = [connect(hv, *sim) for _ in range(6)]
    try:
        errors = []

        def worker(n, conn):
            for i in range(30):
                index = 1000 + n * 100 + i
                if conn.WriteVrValue(index, index * 0.5) != OK or conn.ReadVrValue(index) != (OK, index * 0.5):
                    errors.append((n, i))

        # Two threads per connection, several connections at once.
        threads = [threading.Thread(target=worker, args=(n, connections[n % 6])) for n in range(12)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        assert errors == []
    finally:
        for conn in connections:
            conn.DestroyContext()


def test_dropping_the_object_closes_the_socket(hv, sim):
    before = sockets()
    conn = connect(hv, *sim)
    opened = sockets() - before
    assert len(opened) == 1
    del conn
    gc.collect()
    assert not opened & sockets()


@pytest.mark.parametrize("example", ["quickstart.py", "quickstart_module.py"])
def test_quickstart_example_runs(sim, example):
    host, port = sim
    result = run_example(example, "--host", host, "--port", port)
    assert result.returncode == 0, result.stdout + result.stderr
    out = result.stdout
    assert "Connected" in out and "VR(10) = 12.5" in out and "DPOS   100.000" in out
    assert "VR string 20: 'Hello from Python ✓'" in out and out.rstrip().endswith("Disconnected.")
    # The trace is off: no hexadecimal request lines.
    assert " >> [" not in out
