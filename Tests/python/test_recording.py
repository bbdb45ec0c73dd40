"""Recording and watching with holvane: against holvane-sim (a real move, a
controller error, a lost link), a scripted peer that stalls, and the files a
recording is written to. Rates here are low enough for a loaded machine; the
figures at speed are the benchmark's (Bench/record_bench.py)."""

import asyncio
import itertools
import logging
import math
import os
import re
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest
from conftest import MODULE_DIR, wait_until
from fake_controller import simple_reply

import holvane
import holvane.aio
from holvane import Recording
from holvane.cli import main as cli_main


def arrivals(path):
    """The requests the simulator logged: (ns, keyword) per line."""
    lines = path.read_text().splitlines() if path.exists() else []
    return [(int(ns), keyword) for ns, keyword in (line.split(" ", 1) for line in lines)]


def assert_honest(rec, ticks):
    """Every tick is a sample, a miss or an overflow; seq only grows; times
    are the grid's and in order."""
    assert len(rec) + rec.missed + rec.overflow == ticks
    assert np.all(np.diff(rec.seq) > 0)
    assert np.allclose(rec.t, rec.seq / rec.rate)
    assert np.all(rec.sent >= rec.t) and np.all(rec.received >= rec.sent)


def test_a_recording_during_a_real_move_and_the_controllers_own_log(sims, tmp_path, caplog):
    log = tmp_path / "arrivals.log"
    sim = sims("--log-arrivals", log)
    with holvane.connect(sim.host, sim.port, nodelay=True) as c:
        c.write_vr(10, 7.25)
        c.write_param("SPEED", 0, 400.0)
        c.axis(0).move_abs(200.0)
        rec = c.record(["DPOS(0)", "mpos(0)", "VR(10)", "TABLE(3)", "DPOS(99)"], 200, 1.5)
        assert rec.channels == ("DPOS(0)", "MPOS(0)", "VR(10)", "TABLE(3)", "DPOS(99)")
        assert_honest(rec, 300)
        assert len(rec) >= 150, rec
        dpos = rec["DPOS(0)"]
        assert dpos[0] < 200.0 and dpos[-1] == pytest.approx(200.0), "the move is seen, and reaches its target"
        assert np.all(np.diff(dpos) >= 0)
        assert np.all(rec["VR(10)"] == 7.25)
        # Axis 99 does not exist: NaN in every sample, each counted.
        assert np.all(np.isnan(rec["DPOS(99)"])) and rec.errors["DPOS(99)"] == len(rec)
        assert rec.errors["DPOS(0)"] == 0
        assert rec.stats.max_in_flight >= 1 and rec.stats.latency.median > 0
        assert rec.start_time.tzinfo is not None
    assert "send coalescing" not in caplog.text, "sends are not coalesced with nodelay=True"
    # One request per channel and sample, axis parameters by their own name
    # (the simulator writes its log a little after the requests came).
    wait_until(lambda: [k for _, k in arrivals(log)].count("TABLEVALUES") >= len(rec), timeout=5.0)
    keywords = [k for _, k in arrivals(log)]
    assert keywords.count("DPOS") == 2 * len(rec) and keywords.count("MPOS") == len(rec)
    assert keywords.count("TABLEVALUES") == len(rec)


def test_bad_channels_and_rates_are_refused_before_any_byte_is_sent(sims, tmp_path):
    log = tmp_path / "arrivals.log"
    sim = sims("--log-arrivals", log)
    with holvane.connect(sim.host, sim.port) as c:
        wait_until(lambda: len(arrivals(log)) >= 3)
        before = len(arrivals(log))
        bad = [
            (["DPOZ(0)"], 100, "unknown parameter 'DPOZ'"),
            (["DPOS0"], 100, "malformed channel"),
            (["DPOS(-1)"], 100, "malformed channel"),
            ([], 100, "no channel"),
            (["DPOS(0)", "dpos(0)"], 100, "given twice"),
            (["DPOS(0)"], 0, "rate"),
            (["DPOS(0)"], -5, "rate"),
            (["DPOS(0)"], holvane.MAX_RATE * 2, "rate"),
            (["DPOS(0)"], float("nan"), "rate"),
            ([f"VR({i})" for i in range(4097)], 10, "at most 4096"),
        ]
        for channels, rate, message in bad:
            with pytest.raises(ValueError, match=message):
                c.record(channels, rate, 1.0)
        with pytest.raises(ValueError, match="seconds"):
            c.record(["DPOS(0)"], 10, -1)
        empty = c.record(["DPOS(0)"], 100, 0)
        assert len(empty) == 0 and empty["DPOS(0)"].shape == (0,) and empty.missed == 0
        time.sleep(0.2)
        assert len(arrivals(log)) == before, "nothing reached the controller"


def test_a_stalling_controller_leaves_a_gap_of_missed_ticks_and_no_burst(peer, caplog):
    answered = []

    def responder(tokens):
        answered.append(time.monotonic())
        if len(answered) == 40:
            time.sleep(0.05)  # the controller stalls for 50 ms
        return simple_reply(float(len(answered)))

    peer.responder = responder
    with (
        holvane.connect("127.0.0.1", peer.port) as c,
        caplog.at_level(logging.WARNING, "holvane"),
        c.recorder(["DPOS(0)"], 250, seconds=1.0, in_flight=4) as r,
    ):
        assert r.in_flight_bound == 4
        rec = Recording.concat(list(r))
    # Not port 3240 and no nodelay: the recording warns once that sends coalesce.
    assert caplog.text.count("send coalescing is on for port") == 1
    assert_honest(rec, 250)
    assert rec.missed >= 5, rec
    gaps = np.flatnonzero(np.diff(rec.seq) > 1)
    assert gaps.size >= 1
    # After the gap no late sample pretends to be on time: each was sent
    # within its own period.
    assert np.all(rec.sent - rec.t < 2.0 / rec.rate)
    assert rec.stats.send_error.max < 2.0 / rec.rate


def test_watch_sees_exactly_the_changes_a_script_makes_and_a_callback_may_call_the_controller(sim):
    with holvane.connect(*sim) as c:
        c.write_vr(20, 0.0)
        c.write_vr(21, 0.0)
        c.write_vr(22, 0.0)
        steps = [(20, 1.0), (21, 2.0), (20, 3.0), (22, 0.05), (22, 5.0)]

        def script():
            for index, value in steps:
                time.sleep(0.15)
                c.write_vr(index, value)

        changes = []
        with c.watch(["VR(20)", "VR(21)", "VR(22)"], 0.02, deadband=0.1) as w:
            writer = threading.Thread(target=script)
            writer.start()
            for change in w:
                changes.append(change)
                if len(changes) == 4:
                    break
            writer.join()
        # VR(22) moving by 0.05 is inside the deadband; its jump to 5 is
        # measured from the value last reported, 0.
        assert [(ch.channel, ch.value, ch.previous) for ch in changes] == [
            ("VR(20)", 1.0, 0.0),
            ("VR(21)", 2.0, 0.0),
            ("VR(20)", 3.0, 1.0),
            ("VR(22)", 5.0, 0.0),
        ]
        assert all(b.t > a.t for a, b in itertools.pairwise(changes))

        seen = []

        def on_change(change):
            # On a thread of its own, not the reader's: it may call the controller.
            c.write_vr(31, c.read_vr(30) * 2)
            seen.append(change)

        handler = c.on_change("VR(30)", on_change, 0.02)
        with handler:
            time.sleep(0.1)
            c.write_vr(30, 21.0)
            wait_until(lambda: seen, timeout=5.0)
            assert c.read_vr(31) == 42.0
        assert not handler.running and handler.exception is None


def test_a_lost_link_ends_the_recording_with_its_cause_or_is_resumed(sims):
    sim = sims("--close-after", 60)
    with holvane.connect(sim.host, sim.port) as c:
        with pytest.raises(holvane.RecordingLostError) as lost:
            c.record(["DPOS(0)"], 100, 2.0)
        assert isinstance(lost.value, holvane.ConnectionLostError)
        partial = lost.value.recording
        assert partial is not None
        assert 30 <= len(partial) <= 60
        # The connection's own sentence for the loss, with its time.
        assert re.fullmatch(
            r"record\(DPOS\(0\) at 100 Hz\): the link was closed by the controller at \d\d:\d\d:\d\d", str(lost.value)
        )

    # The asyncio face keeps what was taken as well.
    async def record_async():
        async with holvane.aio.connect(sim.host, sim.port) as c:
            await c.record(["DPOS(0)"], 100, 2.0)

    with pytest.raises(holvane.RecordingLostError) as lost:
        asyncio.run(record_async())
    assert lost.value.recording is not None and 30 <= len(lost.value.recording) <= 60
    with holvane.connect(sim.host, sim.port, reconnect=True) as c:
        rec = c.record(["DPOS(0)"], 100, 1.5)
        assert_honest(rec, 150)
        assert len(rec.interruptions) >= 1, "the link closed after 60 requests at least once"
        assert all(cause.startswith("the link was closed by the controller at ") for cause in rec.interruptions)
        assert rec.missed >= 1 and np.any(np.diff(rec.seq) > 1), "the outage is a gap in the sequence"


def test_a_recording_round_trips_through_csv_and_parquet_with_its_metadata(tmp_path):
    rec = Recording(
        ["DPOS(0)", "VR(10)"],
        500.0,
        __import__("datetime").datetime(2026, 1, 2, 3, 4, 5, tzinfo=__import__("datetime").timezone.utc),
        np.array([0, 1, 3]),
        np.array([0.0, 0.002, 0.006]),
        np.array([0.0001, 0.0021, 0.0061]),
        np.array([0.0004, 0.0024, 0.0064]),
        np.array([[1.5, math.nan], [2.5, 7.0], [3.5, 7.0]]),
        missed=1,
        overflow=0,
        errors={"VR(10)": 1},
        max_in_flight=2,
        interruptions=["a cause"],
    )
    for name, read in (("r.csv", Recording.from_csv), ("r.parquet", Recording.from_parquet)):
        path = tmp_path / name
        (rec.to_csv if name.endswith(".csv") else rec.to_parquet)(str(path))
        back = read(str(path))
        assert back.channels == rec.channels and back.rate == rec.rate and back.start_time == rec.start_time
        assert (back.missed, back.overflow, back.errors, back.max_in_flight) == (1, 0, rec.errors, 2)
        assert back.interruptions == ("a cause",)
        np.testing.assert_array_equal(back.seq, rec.seq)
        for column in ("t", "sent", "received"):
            np.testing.assert_array_equal(getattr(back, column), getattr(rec, column))
        np.testing.assert_array_equal(back.values, rec.values)  # NaN included
    frame = rec.to_pandas()
    assert list(frame.columns) == ["seq", "sent", "received", "DPOS(0)", "VR(10)"]
    assert frame.attrs["missed"] == 1
    assert repr(rec).startswith("<holvane.Recording 3 samples")
    with pytest.raises(KeyError):
        rec["MPOS(0)"]


def test_the_record_command_and_its_exit_codes(sims, tmp_path, capsys):
    log = tmp_path / "arrivals.log"
    started = sims("--log-arrivals", log)
    host, port = started.host, started.port
    out = tmp_path / "run.csv"
    link = ["--host", host, "--port", str(port)]
    assert cli_main(["record", "DPOS(0)", "VR(1)", "--rate", "50", "--seconds", "0.5", "-o", str(out), *link]) == 0
    rec = Recording.from_csv(str(out))
    assert rec.channels == ("DPOS(0)", "VR(1)") and len(rec) + rec.missed == 25
    err = capsys.readouterr().err
    assert "samples" in err and "\r" not in err
    parquet = tmp_path / "run.parquet"
    assert cli_main(["record", "MPOS(1)", "--rate", "20", "--seconds", "0.2", "-o", str(parquet), *link]) == 0
    assert Recording.from_parquet(str(parquet)).channels == ("MPOS(1)",)
    for bad in (
        ["DPOS0", "--rate", "10", "-o", str(out)],
        ["DPOS(0)", "--rate", "10", "-o", str(tmp_path / "x.txt")],
        ["DPOS(0)", "--rate", "0", "-o", str(out)],
    ):
        assert cli_main(["record", *bad, *link]) == 2, bad
    assert cli_main(["record", "NOPE(0)", "--rate", "10", "-o", str(out), *link]) == 2
    assert "unknown parameter 'NOPE'" in capsys.readouterr().err
    assert cli_main(["monitor", "--axis", "0", "--rate", "20", "--duration", "0.2", "--csv", str(out), *link]) == 0
    assert out.read_text().splitlines()[0] == "time,DPOS,MPOS"
    assert (
        cli_main(["record", "DPOS(0)", "--rate", "10", "--seconds", "1", "-o", str(out), "--host", host, "--port", "1"])
        == 1
    )
    # Ctrl-C ends an open-ended run: what was recorded is written, exit status 0.
    open_ended = tmp_path / "open.csv"
    env = dict(os.environ, PYTHONPATH=str(MODULE_DIR))
    command = [sys.executable, "-m", "holvane", "record", "MPOS(2)", "--rate", "100", "-o", str(open_ended), *link]

    def taken():
        return [k for _, k in arrivals(log)].count("MPOS")

    wait_until(lambda: False, timeout=0.2)  # the simulator's log of the runs before
    before = taken()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, env=env)
    try:
        assert wait_until(lambda: taken() >= before + 20, timeout=30.0)
        process.send_signal(signal.SIGINT)
        _, err = process.communicate(timeout=20)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    assert process.returncode == 0, err
    kept = Recording.from_csv(str(open_ended))
    assert len(kept) >= 20 and kept.channels == ("MPOS(2)",) and "samples" in err


def test_asyncio_recorder_record_watch_and_on_change(sims, tmp_path):
    log = tmp_path / "arrivals.log"
    sim = sims("--log-arrivals", log)

    def sampled():
        return [k for _, k in arrivals(log)].count("DPOS")

    async def run():
        c = await holvane.aio.connect(sim.host, sim.port, nodelay=True)
        async with c:
            rec = await c.record(["DPOS(0)"], 100, 0.3)
            assert_honest(rec, 30)
            # Cancelling record ends the recording, not only the wait for it.
            task = asyncio.ensure_future(c.record(["DPOS(0)"], 100, 30.0))
            await asyncio.sleep(0.3)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            await asyncio.sleep(0.2)
            before = sampled()
            await asyncio.sleep(0.3)
            assert sampled() == before, "no sample is sent after the cancel"

            blocks = []
            async with c.recorder(["DPOS(0)"], 50) as r:
                async for block in r:
                    blocks.append(block)
                    if sum(len(b) for b in blocks) >= 10:
                        break
            assert sum(len(b) for b in blocks) >= 10
            await c.write_vr(40, 0.0)
            async with c.watch("VR(40)", 0.02) as w:

                async def change_it():
                    await asyncio.sleep(0.1)
                    await c.write_vr(40, 9.0)

                task = asyncio.ensure_future(change_it())
                async for change in w:
                    assert (change.channel, change.value, change.previous) == ("VR(40)", 9.0, 0.0)
                    break
                await task
            seen = []
            with await c.on_change("VR(41)", seen.append, 0.02, initial=True) as handler:
                for wanted in (1, 2):
                    if wanted == 2:
                        await c.write_vr(41, 3.0)
                    for _ in range(500):
                        if len(seen) >= wanted:
                            break
                        await asyncio.sleep(0.01)
            assert [(ch.value, ch.previous) for ch in seen[:2]] == [(0.0, None), (3.0, 0.0)]
            assert not handler.running

    asyncio.run(asyncio.wait_for(run(), 30))


def test_a_level_2_plug_in_records_one_sample_at_a_time(hv, fake_plugin):
    plugin = fake_plugin
    plugin.lib.fake_claim_level(2)
    connection = hv.Connection()
    try:
        assert connection.CreateContext(hv.ConnectionType.QUENTA) == hv.ErrorCode.NoError
        assert connection.ReadIntAttribute("InterfaceLevel") == (hv.ErrorCode.NoError, 2)
        record_at_level_2(hv, connection, plugin)
    finally:
        plugin.lib.fake_claim_level(0)
        connection.DestroyContext()


def record_at_level_2(hv, connection, plugin):
    connection.WriteVrValue(5, 1.5)
    sampler = hv.Sampler(connection, [("ReadVrValue", 5), ("ReadAxisParam", "DPOS", 0)], 200.0, 20)
    assert sampler.Check()[0] == hv.ErrorCode.Fail, "level 2 cannot check without sending"
    plugin.take()
    assert sampler.Start() == hv.ErrorCode.NoError
    wait_until(lambda: sampler.state != "running", timeout=10.0)
    seq, t, sent, received, values, missed, overflow, errors = sampler.Read(100, 0.0)
    assert sampler.state == "finished"
    assert sampler.in_flight_bound == 1 and sampler.max_in_flight == 1
    assert len(seq) + missed + overflow == 20 and len(seq) >= 1
    assert np.all(values[:, 0] == 1.5) and errors == [0, 0]
    assert all(
        line.startswith(("Batch(2)", "ReadVrValue", "ReadAxisParam", "ReadIntAttribute")) for line in plugin.take()
    )
